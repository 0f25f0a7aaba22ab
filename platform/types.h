// Basic types of the component platform: integer widths, result codes, GUIDs.
//
// Declarations only. Every other platform header includes this one.
#pragma once

#include <cstddef>
#include <cstdint>

// Symbols of the runtime library (libvornrt.so) that other modules call.
#define VORN_API __attribute__((visibility("default")))

// The C entry points a shared library of the platform exports
// (DllGetClassObject, DllRegisterServer, WABOpen, ...).
#define VORN_EXPORT extern "C" __attribute__((visibility("default")))

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef char16_t WCHAR;
typedef WCHAR OLECHAR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;

typedef char* LPSTR;
typedef const char* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef void* LPVOID;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;

typedef int32_t HRESULT;
typedef int32_t SCODE;

// A window handle. This platform has no windows; the type exists so that
// interfaces taking an owner window keep their shape. Always null here.
typedef struct HWND__* HWND;

// Macros rather than constants, because general-purpose C libraries define
// the same two names.
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// 64-bit time in 100-nanosecond ticks since 1601-01-01 00:00 UTC, low word
// first.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

union LARGE_INTEGER {
  LONGLONG QuadPart;
};
union ULARGE_INTEGER {
  ULONGLONG QuadPart;
};

// ---------------------------------------------------------------------------
// Result codes. Negative is failure.

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

constexpr HRESULT MakeHresult(uint32_t value) {
  return static_cast<HRESULT>(value);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;

constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001u);
constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002u);
constexpr HRESULT E_POINTER = MakeHresult(0x80004003u);
constexpr HRESULT E_ABORT = MakeHresult(0x80004004u);
constexpr HRESULT E_FAIL = MakeHresult(0x80004005u);
constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFFu);
constexpr HRESULT E_ACCESSDENIED = MakeHresult(0x80070005u);
constexpr HRESULT E_HANDLE = MakeHresult(0x80070006u);
constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057u);

constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111u);
constexpr HRESULT REGDB_E_READREGDB = MakeHresult(0x80040150u);
constexpr HRESULT REGDB_E_WRITEREGDB = MakeHresult(0x80040151u);
constexpr HRESULT REGDB_E_KEYMISSING = MakeHresult(0x80040152u);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154u);
constexpr HRESULT SELFREG_E_TYPELIB = MakeHresult(0x80040200u);
constexpr HRESULT SELFREG_E_CLASS = MakeHresult(0x80040201u);
constexpr HRESULT CO_E_NOTINITIALIZED = MakeHresult(0x800401F0u);
constexpr HRESULT CO_E_CLASSSTRING = MakeHresult(0x800401F3u);
constexpr HRESULT CO_E_DLLNOTFOUND = MakeHresult(0x800401F8u);
constexpr HRESULT CO_E_ERRORINDLL = MakeHresult(0x800401F9u);

constexpr HRESULT STG_E_INVALIDFUNCTION = MakeHresult(0x80030001u);
constexpr HRESULT STG_E_FILENOTFOUND = MakeHresult(0x80030002u);
constexpr HRESULT STG_E_ACCESSDENIED = MakeHresult(0x80030005u);
constexpr HRESULT STG_E_INVALIDPOINTER = MakeHresult(0x80030009u);
constexpr HRESULT STG_E_WRITEFAULT = MakeHresult(0x8003001Du);
constexpr HRESULT STG_E_READFAULT = MakeHresult(0x8003001Eu);
constexpr HRESULT STG_E_MEDIUMFULL = MakeHresult(0x80030070u);
constexpr HRESULT STG_E_REVERTED = MakeHresult(0x80030102u);

// Win32 error codes (registry and loader results) as result codes.
constexpr HRESULT HRESULT_FROM_WIN32(LONG error) {
  return error <= 0 ? static_cast<HRESULT>(error)
                    : static_cast<HRESULT>((static_cast<uint32_t>(error) & 0xFFFFu) |
                                           0x80070000u);
}

// ---------------------------------------------------------------------------
// GUIDs.

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
typedef const IID* LPCIID;
typedef CLSID* LPCLSID;

constexpr bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}

namespace vorn_detail {
consteval uint32_t HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint32_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<uint32_t>(c - 'a' + 10);
  throw "not a hexadecimal digit in a GUID literal";
}
consteval uint32_t HexField(const char* text, int first, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 4) | HexDigit(text[first + i]);
  return value;
}
}  // namespace vorn_detail

// A GUID from its registry text form, checked at compile time:
//   constexpr IID IID_Example = MakeGuid("{01234567-89AB-CDEF-0123-456789ABCDEF}");
consteval GUID MakeGuid(const char (&text)[39]) {
  if (text[0] != '{' || text[9] != '-' || text[14] != '-' || text[19] != '-' ||
      text[24] != '-' || text[37] != '}') {
    throw "a GUID literal is written {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
  }
  GUID g{};
  g.Data1 = vorn_detail::HexField(text, 1, 8);
  g.Data2 = static_cast<uint16_t>(vorn_detail::HexField(text, 10, 4));
  g.Data3 = static_cast<uint16_t>(vorn_detail::HexField(text, 15, 4));
  g.Data4[0] = static_cast<uint8_t>(vorn_detail::HexField(text, 20, 2));
  g.Data4[1] = static_cast<uint8_t>(vorn_detail::HexField(text, 22, 2));
  for (int i = 0; i < 6; ++i) {
    g.Data4[2 + i] = static_cast<uint8_t>(vorn_detail::HexField(text, 25 + 2 * i, 2));
  }
  return g;
}

constexpr GUID GUID_NULL = {};
constexpr IID IID_NULL = {};
constexpr CLSID CLSID_NULL = {};

// Maps an interface type to its identifier so that generic code (ComPtr::As,
// QueryInterface helpers) can ask for it by type. Each interface header states
// the pair once with VORN_INTERFACE_ID.
template <class Interface>
struct InterfaceIdOf;

#define VORN_INTERFACE_ID(Interface, iid)          \
  template <>                                      \
  struct InterfaceIdOf<Interface> {                \
    static constexpr const IID& value = iid;       \
  }
