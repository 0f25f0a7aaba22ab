// PROPVARIANT: a typed value handed out by a component, with the type codes
// shared by every variant of the platform.
//
// Declarations only; libvornrt.so implements PropVariantClear.
#pragma once

#include <cstring>

#include "platform/unknown.h"

typedef USHORT VARTYPE;

// Type codes.
constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_NULL = 1;
constexpr VARTYPE VT_I2 = 2;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_R4 = 4;
constexpr VARTYPE VT_R8 = 5;
constexpr VARTYPE VT_CY = 6;
constexpr VARTYPE VT_DATE = 7;
constexpr VARTYPE VT_BSTR = 8;
constexpr VARTYPE VT_DISPATCH = 9;
constexpr VARTYPE VT_ERROR = 10;
constexpr VARTYPE VT_BOOL = 11;
constexpr VARTYPE VT_VARIANT = 12;
constexpr VARTYPE VT_UNKNOWN = 13;
constexpr VARTYPE VT_I1 = 16;
constexpr VARTYPE VT_UI1 = 17;
constexpr VARTYPE VT_UI2 = 18;
constexpr VARTYPE VT_UI4 = 19;
constexpr VARTYPE VT_I8 = 20;
constexpr VARTYPE VT_UI8 = 21;
constexpr VARTYPE VT_INT = 22;
constexpr VARTYPE VT_UINT = 23;
constexpr VARTYPE VT_VOID = 24;
constexpr VARTYPE VT_HRESULT = 25;
constexpr VARTYPE VT_PTR = 26;
constexpr VARTYPE VT_USERDEFINED = 29;
constexpr VARTYPE VT_LPSTR = 30;
constexpr VARTYPE VT_LPWSTR = 31;
constexpr VARTYPE VT_FILETIME = 64;
constexpr VARTYPE VT_BYREF = 0x4000;

struct PROPVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    CHAR cVal;
    UCHAR bVal;
    SHORT iVal;
    USHORT uiVal;
    LONG lVal;
    ULONG ulVal;
    LONGLONG hVal;
    ULONGLONG uhVal;
    double dblVal;
    SCODE scode;
    FILETIME filetime;
    LPSTR pszVal;    // VT_LPSTR: allocated with CoTaskMemAlloc
    LPWSTR pwszVal;  // VT_LPWSTR: allocated with CoTaskMemAlloc
    IUnknown* punkVal;
  };
};
typedef PROPVARIANT* LPPROPVARIANT;

// Sets every byte of the value to zero: VT_EMPTY, and a null pointer in each
// pointer member. (An empty brace initialiser would set only the union's
// first member, leaving the bytes of a pointer member undefined.)
inline void PropVariantInit(PROPVARIANT* value) { std::memset(value, 0, sizeof(*value)); }

// Frees what the value owns (the string of VT_LPSTR and VT_LPWSTR with
// CoTaskMemFree, the reference of VT_UNKNOWN) and sets it to VT_EMPTY.
// E_INVALIDARG for a null pointer or an unknown type, which is left as it was.
VORN_API HRESULT PropVariantClear(PROPVARIANT* value);
