// The store server's objects: the namespace (IStoreNamespace with the import
// extension IStoreImport) and the folders it opens (IStoreFolder).
#pragma once

#include "platform/types.h"

namespace vorn_store {

// Creates a new, uninitialised namespace object and returns its `riid`
// interface in *ppv (caller owns; null on failure).
HRESULT CreateStoreNamespace(REFIID riid, void** ppv);

}  // namespace vorn_store
