// Automation: length-prefixed UTF-16 strings (BSTR), typed values (VARIANT),
// late-bound calls (IDispatch), and the result codes of dispatch.
//
// Declarations only; libvornrt.so implements the functions.
#pragma once

#include "platform/propvariant.h"
#include "platform/unknown.h"

struct ITypeInfo;

constexpr IID IID_IDispatch = MakeGuid("{00020400-0000-0000-C000-000000000046}");

// ---------------------------------------------------------------------------
// Strings.
//
// A BSTR points at the first UTF-16 unit of a string allocated by the runtime.
// The 32-bit byte length is stored just before it and a zero unit just after
// it; the text itself may hold zero units. A null BSTR is the empty string to
// every function here. A BSTR is freed with SysFreeString only.

typedef OLECHAR* BSTR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

// A new BSTR holding `text` up to its zero unit. Null `text` gives null.
// Null when out of memory.
VORN_API BSTR SysAllocString(const OLECHAR* text);
// A new BSTR of `length` units copied from `text`; with `text` null the units
// are zero. Null when out of memory or when the length is too large.
VORN_API BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
// Frees a BSTR; null does nothing.
VORN_API void SysFreeString(BSTR text);
// Length in UTF-16 units (0 for null).
VORN_API UINT SysStringLen(BSTR text);
// Length in bytes (0 for null).
VORN_API UINT SysStringByteLen(BSTR text);

// Extension: a new BSTR converted from `cb` bytes of 8-bit text in the system
// code page (UTF-8); cb -1 means up to the NUL. Invalid sequences become
// U+FFFD. Null text gives an empty (non-null) BSTR. Null only when out of
// memory.
VORN_API BSTR VornSysAllocStringA(LPCSTR text, int cb);
// Extension: the BSTR as 8-bit text in the system code page, NUL-terminated,
// allocated with CoTaskMemAlloc (caller frees). Embedded zero units are kept
// as NUL bytes; *cb (may be null) receives the length without the final NUL.
// Null BSTR gives "". Null only when out of memory.
VORN_API LPSTR VornSysStringToA(BSTR text, int* cb);

// ---------------------------------------------------------------------------
// Values.

typedef SHORT VARIANT_BOOL;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

typedef double DATE;

struct IDispatch;

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;     // VT_I8
    LONG lVal;          // VT_I4
    BYTE bVal;          // VT_UI1
    SHORT iVal;         // VT_I2
    float fltVal;       // VT_R4
    double dblVal;      // VT_R8
    VARIANT_BOOL boolVal;  // VT_BOOL
    SCODE scode;        // VT_ERROR
    DATE date;          // VT_DATE
    BSTR bstrVal;       // VT_BSTR, owned by the value
    IUnknown* punkVal;  // VT_UNKNOWN, one reference owned by the value
    IDispatch* pdispVal;  // VT_DISPATCH, one reference owned by the value
    CHAR cVal;          // VT_I1
    USHORT uiVal;       // VT_UI2
    ULONG ulVal;        // VT_UI4
    ULONGLONG ullVal;   // VT_UI8
    INT intVal;         // VT_INT
    UINT uintVal;       // VT_UINT
    // VT_BYREF | type: the value lives elsewhere and is not owned.
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    LONGLONG* pllVal;
    float* pfltVal;
    double* pdblVal;
    VARIANT_BOOL* pboolVal;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    VARIANT* pvarVal;   // VT_BYREF | VT_VARIANT
    void* byref;
  };
};
typedef VARIANT VARIANTARG;
typedef VARIANT* LPVARIANT;

// Sets the value to VT_EMPTY without freeing anything.
VORN_API void VariantInit(VARIANTARG* value);
// Frees what the value owns (the BSTR, the interface reference) and sets it
// to VT_EMPTY. DISP_E_BADVARTYPE for a type this platform does not know,
// E_INVALIDARG for null; the value is left as it was then.
VORN_API HRESULT VariantClear(VARIANTARG* value);
// Clears `dest`, then makes it a copy of `source` (a new BSTR, an added
// reference; a VT_BYREF value copies the pointer). On failure `dest` is
// VT_EMPTY.
VORN_API HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* source);

// VariantChangeType flags.
constexpr USHORT VARIANT_NOVALUEPROP = 0x1;
constexpr USHORT VARIANT_ALPHABOOL = 0x2;  // VT_BOOL to text as "True"/"False"

// Converts `source` to type `vt` into `dest`; `dest` may be `source` itself.
// A VT_BYREF source is read through its pointer. Numbers convert between
// each other (fractions round half to even), to text in their decimal form,
// and from text that holds a number (surrounding blanks allowed) or, for
// VT_BOOL, "True"/"False" in any case. VT_EMPTY converts to 0, "" or FALSE.
// VT_BOOL is -1 or 0 as a number and any non-zero number is VARIANT_TRUE.
// Errors: DISP_E_TYPEMISMATCH when the value cannot be read as `vt` (VT_NULL,
// an interface, text that is not a number), DISP_E_OVERFLOW when the number
// does not fit, DISP_E_BADVARTYPE for a type this platform does not convert,
// E_OUTOFMEMORY. On failure `dest` is left as it was.
VORN_API HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* source, USHORT flags,
                                   VARTYPE vt);

// ---------------------------------------------------------------------------
// Late-bound calls.

typedef LONG DISPID;
typedef DISPID MEMBERID;
typedef ULONG LCID;

constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr MEMBERID MEMBERID_NIL = DISPID_UNKNOWN;

// Stock members and events.
constexpr DISPID DISPID_ABOUTBOX = -552;
constexpr DISPID DISPID_CLICK = -600;
constexpr DISPID DISPID_DBLCLICK = -601;
constexpr DISPID DISPID_KEYDOWN = -602;
constexpr DISPID DISPID_KEYPRESS = -603;
constexpr DISPID DISPID_KEYUP = -604;
constexpr DISPID DISPID_MOUSEDOWN = -605;
constexpr DISPID DISPID_MOUSEMOVE = -606;
constexpr DISPID DISPID_MOUSEUP = -607;

constexpr LCID LOCALE_NEUTRAL = 0x0000;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

// IDispatch::Invoke flags.
constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

// The arguments of one call. rgvarg holds them in reverse order: the last
// argument first. Named arguments (none on most calls) come first in rgvarg,
// with their DISPIDs in rgdispidNamedArgs.
struct DISPPARAMS {
  VARIANTARG* rgvarg;
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

// Describes an exception a member raised (DISP_E_EXCEPTION). The BSTRs are
// owned by the caller of Invoke.
struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  void* pvReserved;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
  SCODE scode;
};

constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeHresult(0x80020001u);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHresult(0x80020003u);
constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHresult(0x80020004u);
constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHresult(0x80020005u);
constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHresult(0x80020006u);
constexpr HRESULT DISP_E_NONAMEDARGS = MakeHresult(0x80020007u);
constexpr HRESULT DISP_E_BADVARTYPE = MakeHresult(0x80020008u);
constexpr HRESULT DISP_E_EXCEPTION = MakeHresult(0x80020009u);
constexpr HRESULT DISP_E_OVERFLOW = MakeHresult(0x8002000Au);
constexpr HRESULT DISP_E_BADINDEX = MakeHresult(0x8002000Bu);
constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHresult(0x8002000Eu);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = MakeHresult(0x8002000Fu);

struct IDispatch : IUnknown {
  // 1 when the object describes itself through GetTypeInfo, 0 otherwise.
  virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
  // The description of this interface (index 0); caller owns *typeInfo.
  // DISP_E_BADINDEX for another index.
  virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** typeInfo) = 0;
  // Maps a member name (names[0]) and optionally its parameter names
  // (names[1..]) to DISPIDs. Names compare case-insensitively. Unknown names
  // get DISPID_UNKNOWN and the result DISP_E_UNKNOWNNAME. `riid` is IID_NULL.
  virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                DISPID* dispids) = 0;
  // Calls member `dispid` with `params` (not changed by the call). `result`,
  // `exception` and `argError` may be null. On DISP_E_TYPEMISMATCH and
  // DISP_E_PARAMNOTFOUND, *argError is the index in rgvarg of the argument at
  // fault. `riid` is IID_NULL.
  virtual HRESULT Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* exception, UINT* argError) = 0;

 protected:
  ~IDispatch() = default;
};
typedef IDispatch* LPDISPATCH;
VORN_INTERFACE_ID(IDispatch, IID_IDispatch);
