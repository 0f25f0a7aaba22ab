// The IMAP store server's objects: the namespace (IStoreNamespace with the
// import extension IStoreImport) and the folders it opens (IStoreFolder).
#pragma once

#include "platform/unknown.h"

namespace vorn_imap {

// A new namespace object, not yet initialised (caller owns *ppv).
HRESULT CreateImapNamespace(REFIID riid, void** ppv);

}  // namespace vorn_imap
