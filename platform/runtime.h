// The component runtime: creating objects by class, task memory, class
// identifiers as text, and the entry points a component library exports.
//
// Declarations only; libvornrt.so implements them.
#pragma once

#include "platform/unknown.h"

// Execution contexts for CoCreateInstance and CoGetClassObject. This platform
// serves every request in process: a context with CLSCTX_INPROC_SERVER is
// served, the local-server bit is accepted and ignored.
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;

// CoRegisterClassObject flags.
constexpr DWORD REGCLS_SINGLEUSE = 0;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;

// Initialises the component runtime on the calling thread. S_OK the first
// time, S_FALSE when the thread is already initialised (each call must be
// matched by CoUninitialize). `reserved` must be null.
VORN_API HRESULT CoInitialize(void* reserved);
VORN_API void CoUninitialize();

// Creates an object of class `clsid` and returns its `riid` interface in *ppv
// (caller owns; null on failure). Class objects registered in this process
// with CoRegisterClassObject are looked at first, then the registry entry
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, whose library is loaded and
// asked through its DllGetClassObject.
// Errors: CO_E_NOTINITIALIZED before CoInitialize on this thread,
// REGDB_E_CLASSNOTREG for an unknown class, CO_E_DLLNOTFOUND when the
// registered library cannot be loaded, CO_E_ERRORINDLL when it lacks
// DllGetClassObject, CLASS_E_NOAGGREGATION for a non-null `outer`,
// REGDB_E_READREGDB when the registry cannot be read. A library loaded for a
// class stays loaded for the life of the process.
VORN_API HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsctx, REFIID riid,
                                  void** ppv);

// Returns the class object of `clsid` (usually IClassFactory), looked up as
// CoCreateInstance does. `serverInfo` must be null.
VORN_API HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsctx, void* serverInfo, REFIID riid,
                                  void** ppv);

// Makes `classObject` the class object of `clsid` in this process until
// revoked; the runtime holds a reference. *cookie receives the registration.
// `clsctx` and `flags` are accepted for their form: a registration serves
// every in-process request from any thread, and when a class is registered
// more than once the newest registration serves. CO_E_NOTINITIALIZED before
// CoInitialize on this thread. CoRevokeClassObject releases the reference;
// E_INVALIDARG for an unknown cookie.
VORN_API HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* classObject, DWORD clsctx,
                                       DWORD flags, DWORD* cookie);
VORN_API HRESULT CoRevokeClassObject(DWORD cookie);

// Task memory: the allocator through which components hand buffers to their
// callers. CoTaskMemFree(nullptr) does nothing.
VORN_API void* CoTaskMemAlloc(SIZE_T cb);
VORN_API void* CoTaskMemRealloc(void* pv, SIZE_T cb);
VORN_API void CoTaskMemFree(void* pv);

// Class identifiers as text. This platform's text is 8-bit (UTF-8).
// StringFromGUID2 writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and its NUL
// into `text` and returns the number of characters written including the NUL,
// or 0 when `cchMax` is below 39.
VORN_API int StringFromGUID2(REFGUID guid, LPSTR text, int cchMax);
// Parses the braced text form, in either case. CO_E_CLASSSTRING when malformed.
VORN_API HRESULT CLSIDFromString(LPCSTR text, LPCLSID clsid);
// Resolves a ProgID through HKEY_CLASSES_ROOT\<ProgID>\CLSID; a braced CLSID
// text is accepted as well. CO_E_CLASSSTRING when neither is known,
// REGDB_E_READREGDB when the registry cannot be read.
VORN_API HRESULT CLSIDFromProgID(LPCSTR progId, LPCLSID clsid);

// Extension: the platform's root folder, VORN_ROOT when set, otherwise
// ${XDG_DATA_HOME:-$HOME/.local/share}/vorn. Read anew on every call and
// created when missing. Returns the number of bytes of the path excluding its
// NUL, 0 when the folder cannot be created; writes nothing when the path and
// its NUL do not fit in `cb` bytes but still returns the length it needs.
VORN_API DWORD VornGetRootPath(LPSTR path, DWORD cb);

// The entry points of a component library, looked up by name after loading.
typedef HRESULT (*LPFNGETCLASSOBJECT)(REFCLSID clsid, REFIID riid, void** ppv);
typedef HRESULT (*LPFNCANUNLOADNOW)();
typedef HRESULT (*LPFNREGISTERSERVER)();
