// The MIME library's objects, reached only through their interfaces: the
// message class (IMimeMessage, IPersistStreamInit), the bodies and header
// property sets it binds, the streams GetData returns and the MIME allocator.
#pragma once

#include "platform/mime.h"
#include "runtime/server_module.h"

namespace vorn_mime {

// A new empty message (as after InitNew); its `riid` interface goes to *ppv
// (caller releases).
HRESULT CreateMimeMessage(REFIID riid, void** ppv);

// A new MIME allocator object.
HRESULT CreateMimeAllocator(REFIID riid, void** ppv);

// What keeps the library in use: its live objects, its class objects'
// references and their locks.
vorn_rt::ServerModule& MimeModule();

}  // namespace vorn_mime
