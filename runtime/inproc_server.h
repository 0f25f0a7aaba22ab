// Class objects served by component libraries named in the registry.
#pragma once

#include "platform/runtime.h"

namespace vorn_rt {

// Reads the default value of HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32,
// loads that library (once per process; it stays loaded, since objects it
// made may outlive any caller's interest in it) and asks its
// DllGetClassObject for `riid`. *ppv is the caller's on success, null
// otherwise. REGDB_E_CLASSNOTREG when the class or its library path is not
// registered, REGDB_E_READREGDB when the registry cannot be read,
// CO_E_DLLNOTFOUND when the library does not load, CO_E_ERRORINDLL when it
// lacks DllGetClassObject, otherwise what DllGetClassObject returns.
HRESULT GetServerClassObject(REFCLSID clsid, REFIID riid, void** ppv);

}  // namespace vorn_rt
