// Type information: the description of a library's interfaces and classes
// (members, their DISPIDs, parameter names and types), read by hosts that
// bind late and written to the registry by self-registering libraries.
//
// Declarations only; libvornrt.so implements them. A type library is read
// from this platform's own serialised form (runtime/typelib_writer.h
// documents it), from a file or from a loaded library's TYPELIB resource.
#pragma once

#include "platform/automation.h"

constexpr IID IID_ITypeInfo = MakeGuid("{00020401-0000-0000-C000-000000000046}");
constexpr IID IID_ITypeLib = MakeGuid("{00020402-0000-0000-C000-000000000046}");
constexpr IID IID_IProvideClassInfo = MakeGuid("{B196B283-BAB4-101A-B69C-00AA00341D07}");

constexpr HRESULT TYPE_E_INVDATAREAD = MakeHresult(0x80028018u);
constexpr HRESULT TYPE_E_UNSUPFORMAT = MakeHresult(0x80028019u);
constexpr HRESULT TYPE_E_REGISTRYACCESS = MakeHresult(0x8002801Cu);
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = MakeHresult(0x8002801Du);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = MakeHresult(0x8002802Bu);
constexpr HRESULT TYPE_E_CANTLOADLIBRARY = MakeHresult(0x80029C4Au);

// A reference from one type to another of the same library.
typedef DWORD HREFTYPE;

enum TYPEKIND : DWORD {
  TKIND_ENUM = 0,
  TKIND_RECORD = 1,
  TKIND_MODULE = 2,
  TKIND_INTERFACE = 3,
  TKIND_DISPATCH = 4,
  TKIND_COCLASS = 5,
  TKIND_ALIAS = 6,
  TKIND_UNION = 7,
  TKIND_MAX = 8,
};

enum SYSKIND : DWORD {
  SYS_WIN16 = 0,
  SYS_WIN32 = 1,
  SYS_MAC = 2,
  SYS_WIN64 = 3,
};

enum FUNCKIND : DWORD {
  FUNC_VIRTUAL = 0,
  FUNC_PUREVIRTUAL = 1,
  FUNC_NONVIRTUAL = 2,
  FUNC_STATIC = 3,
  FUNC_DISPATCH = 4,
};

enum INVOKEKIND : DWORD {
  INVOKE_FUNC = 1,
  INVOKE_PROPERTYGET = 2,
  INVOKE_PROPERTYPUT = 4,
  INVOKE_PROPERTYPUTREF = 8,
};

enum CALLCONV : DWORD {
  CC_CDECL = 1,
  CC_STDCALL = 4,
};

// Library flags (TLIBATTR::wLibFlags).
constexpr WORD LIBFLAG_FRESTRICTED = 0x1;
constexpr WORD LIBFLAG_FCONTROL = 0x2;
constexpr WORD LIBFLAG_FHIDDEN = 0x4;
constexpr WORD LIBFLAG_FHASDISKIMAGE = 0x8;

// Type flags (TYPEATTR::wTypeFlags).
constexpr WORD TYPEFLAG_FAPPOBJECT = 0x1;
constexpr WORD TYPEFLAG_FCANCREATE = 0x2;
constexpr WORD TYPEFLAG_FLICENSED = 0x4;
constexpr WORD TYPEFLAG_FPREDECLID = 0x8;
constexpr WORD TYPEFLAG_FHIDDEN = 0x10;
constexpr WORD TYPEFLAG_FCONTROL = 0x20;
constexpr WORD TYPEFLAG_FDUAL = 0x40;
constexpr WORD TYPEFLAG_FNONEXTENSIBLE = 0x80;
constexpr WORD TYPEFLAG_FOLEAUTOMATION = 0x100;
constexpr WORD TYPEFLAG_FRESTRICTED = 0x200;
constexpr WORD TYPEFLAG_FDISPATCHABLE = 0x1000;

// Implemented-interface flags of a coclass (GetImplTypeFlags).
constexpr INT IMPLTYPEFLAG_FDEFAULT = 0x1;
constexpr INT IMPLTYPEFLAG_FSOURCE = 0x2;
constexpr INT IMPLTYPEFLAG_FRESTRICTED = 0x4;

// Function flags (FUNCDESC::wFuncFlags).
constexpr WORD FUNCFLAG_FRESTRICTED = 0x1;
constexpr WORD FUNCFLAG_FSOURCE = 0x2;
constexpr WORD FUNCFLAG_FHIDDEN = 0x40;

// Parameter flags (PARAMDESC::wParamFlags).
constexpr USHORT PARAMFLAG_NONE = 0x0;
constexpr USHORT PARAMFLAG_FIN = 0x1;
constexpr USHORT PARAMFLAG_FOUT = 0x2;
constexpr USHORT PARAMFLAG_FRETVAL = 0x8;
constexpr USHORT PARAMFLAG_FOPT = 0x10;

// A type: a VT_ code; VT_PTR points at another TYPEDESC; VT_USERDEFINED names
// another type of the library (an alias, an interface) by its HREFTYPE.
struct TYPEDESC {
  union {
    TYPEDESC* lptdesc;  // VT_PTR
    HREFTYPE hreftype;  // VT_USERDEFINED
  };
  VARTYPE vt;
};

struct PARAMDESC {
  void* pparamdescex;  // always null on this platform
  USHORT wParamFlags;
};

struct IDLDESC {
  ULONG_PTR dwReserved;
  USHORT wIDLFlags;
};

struct ELEMDESC {
  TYPEDESC tdesc;
  union {
    IDLDESC idldesc;
    PARAMDESC paramdesc;
  };
};

struct TYPEATTR {
  GUID guid;
  LCID lcid;
  DWORD dwReserved;
  MEMBERID memidConstructor;
  MEMBERID memidDestructor;
  LPOLESTR lpstrSchema;
  ULONG cbSizeInstance;
  TYPEKIND typekind;
  WORD cFuncs;
  WORD cVars;
  WORD cImplTypes;
  WORD cbSizeVft;
  WORD cbAlignment;
  WORD wTypeFlags;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  TYPEDESC tdescAlias;  // TKIND_ALIAS: the aliased type
  IDLDESC idldescType;
};

struct FUNCDESC {
  MEMBERID memid;
  SCODE* lprgscode;
  ELEMDESC* lprgelemdescParam;  // cParams entries, in declared order
  FUNCKIND funckind;
  INVOKEKIND invkind;
  CALLCONV callconv;
  SHORT cParams;
  SHORT cParamsOpt;
  SHORT oVft;
  SHORT cScodes;
  ELEMDESC elemdescFunc;  // the result type; VT_VOID for none
  WORD wFuncFlags;
};

struct TLIBATTR {
  GUID guid;
  LCID lcid;
  SYSKIND syskind;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  WORD wLibFlags;
};

struct ITypeLib;

// One type of a library. Every structure it hands out is owned by the type
// information, valid while the caller holds it, and given back with the
// matching Release... call; every BSTR it hands out is owned by the caller.
struct ITypeInfo : IUnknown {
  virtual HRESULT GetTypeAttr(TYPEATTR** attr) = 0;
  virtual void ReleaseTypeAttr(TYPEATTR* attr) = 0;
  // The function at `index` (0 to cFuncs - 1); TYPE_E_ELEMENTNOTFOUND past it.
  virtual HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) = 0;
  virtual void ReleaseFuncDesc(FUNCDESC* desc) = 0;
  // The function's name followed by its parameter names, up to `maxNames`
  // BSTRs (caller frees each); *count receives how many were written.
  // TYPE_E_ELEMENTNOTFOUND for an unknown member.
  virtual HRESULT GetNames(MEMBERID memid, BSTR* names, UINT maxNames, UINT* count) = 0;
  // As IDispatch::GetIDsOfNames: a member name, then its parameter names
  // (their zero-based positions), compared case-insensitively.
  virtual HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* memids) = 0;
  // Name, help string, help context and help file of member `memid`, or of
  // the type itself for MEMBERID_NIL. Any out-parameter may be null.
  virtual HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* docString,
                                   DWORD* helpContext, BSTR* helpFile) = 0;
  // The interfaces a coclass implements (or a dispinterface's base):
  // reference and flags of entry `index`.
  virtual HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* refType) = 0;
  virtual HRESULT GetImplTypeFlags(UINT index, INT* flags) = 0;
  // The type a HREFTYPE names (caller owns).
  virtual HRESULT GetRefTypeInfo(HREFTYPE refType, ITypeInfo** typeInfo) = 0;
  // For a coclass: creates an object of its class (CoCreateInstance).
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
  // The library holding this type (caller owns) and the type's index in it.
  virtual HRESULT GetContainingTypeLib(ITypeLib** typeLib, UINT* index) = 0;

 protected:
  ~ITypeInfo() = default;
};
typedef ITypeInfo* LPTYPEINFO;
VORN_INTERFACE_ID(ITypeInfo, IID_ITypeInfo);

struct ITypeLib : IUnknown {
  virtual UINT GetTypeInfoCount() = 0;
  // Type `index` (caller owns); TYPE_E_ELEMENTNOTFOUND past the last.
  virtual HRESULT GetTypeInfo(UINT index, ITypeInfo** typeInfo) = 0;
  virtual HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) = 0;
  // The type with identifier `guid`; TYPE_E_ELEMENTNOTFOUND when none.
  virtual HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** typeInfo) = 0;
  virtual HRESULT GetLibAttr(TLIBATTR** attr) = 0;
  virtual void ReleaseTLibAttr(TLIBATTR* attr) = 0;
  // Name, help string, help context and help file of type `index`, or of the
  // library itself for index -1. Any out-parameter may be null.
  virtual HRESULT GetDocumentation(INT index, BSTR* name, BSTR* docString, DWORD* helpContext,
                                   BSTR* helpFile) = 0;

 protected:
  ~ITypeLib() = default;
};
typedef ITypeLib* LPTYPELIB;
VORN_INTERFACE_ID(ITypeLib, IID_ITypeLib);

// An object that tells the class it belongs to.
struct IProvideClassInfo : IUnknown {
  // The coclass type of the object (caller owns).
  virtual HRESULT GetClassInfo(ITypeInfo** typeInfo) = 0;

 protected:
  ~IProvideClassInfo() = default;
};
VORN_INTERFACE_ID(IProvideClassInfo, IID_IProvideClassInfo);

// Loads a type library (caller owns *typeLib) from `file`: a file in the
// serialised form, or a loadable library whose TYPELIB resource 1 holds it. A
// library path may end in "\N" to name TYPELIB resource N instead.
// TYPE_E_CANTLOADLIBRARY when the file cannot be read or holds no type
// library, TYPE_E_INVDATAREAD when the data is truncated, corrupt or foreign,
// TYPE_E_UNSUPFORMAT for a format version this platform does not read.
VORN_API HRESULT LoadTypeLib(LPCOLESTR file, ITypeLib** typeLib);

// Extension: reads the serialised form from memory (copied; the bytes may go
// away afterwards). Errors as LoadTypeLib.
VORN_API HRESULT VornLoadTypeLibFromMemory(const void* data, SIZE_T cb, ITypeLib** typeLib);

// Writes the registry entries of `typeLib`, found at `fullPath`:
//   HKEY_CLASSES_ROOT\TypeLib\{libid}\<major>.<minor>          @ = help string
//     ...\<lcid in hex>\win32 (win64 on 64-bit systems)         @ = fullPath
//     ...\FLAGS                                                @ = library flags
//     ...\HELPDIR                                              @ = helpDir, or
//                                                                 fullPath's folder
//   HKEY_CLASSES_ROOT\Interface\{iid}                          @ = interface name
//     ...\TypeLib   @ = {libid}, "Version" = "<major>.<minor>"
// for every interface and dispatch interface of the library.
// `fullPath` is UTF-16; `helpDir` may be null. TYPE_E_REGISTRYACCESS when the
// registry cannot be written (what was written before the failure is
// removed again).
VORN_API HRESULT RegisterTypeLib(ITypeLib* typeLib, LPCOLESTR fullPath, LPCOLESTR helpDir);

// Removes what RegisterTypeLib wrote for library `libid`, version
// major.minor, locale `lcid` (LOCALE_NEUTRAL matches the locale the library
// was registered with): the locale key, the Interface keys of its interfaces
// that name this library, and the version and library keys once they hold no
// other locale or version. TYPE_E_REGISTRYACCESS when that version is not
// registered or the registry cannot be written.
VORN_API HRESULT UnRegisterTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid,
                                   SYSKIND syskind);

// Loads the library registered under `libid`, version major.minor, locale
// `lcid` (LOCALE_NEUTRAL matches any). TYPE_E_LIBNOTREGISTERED when none is.
VORN_API HRESULT LoadRegTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid,
                                ITypeLib** typeLib);
