// The MIME library's objects, reached only through their interfaces: the
// message class (IMimeMessage, IPersistStreamInit), the bodies and header
// property sets it binds, the streams GetData returns, the MIME allocator and
// the class objects that create them.
#pragma once

#include "platform/mime.h"

namespace vorn_mime {

// A new empty message (as after InitNew); its `riid` interface goes to *ppv
// (caller releases).
HRESULT CreateMimeMessage(REFIID riid, void** ppv);

// A new MIME allocator object.
HRESULT CreateMimeAllocator(REFIID riid, void** ppv);

// The class object of CLSID_VornMimeMessage or CLSID_IMimeAllocator;
// CLASS_E_CLASSNOTAVAILABLE for any other class.
HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv);

// True when no object of the library is alive and no class object is locked.
bool CanUnloadNow();

}  // namespace vorn_mime
