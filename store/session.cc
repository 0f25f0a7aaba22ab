// CMailStore: construction, destruction, the session and the list clearing.

#include "store/mailstore.h"

CMailStore::CMailStore() = default;

CMailStore::~CMailStore() {
  CloseSession();
  // The address book's objects live in the library's code, so they go before
  // any load of it is undone.
  addressBook_.Reset();
  wabObject_.Reset();
  wabOpen_ = nullptr;
  wabModule_ = nullptr;
  for (HMODULE module : wabLoads_) FreeLibrary(module);
  wabLoads_.clear();
}

int32_t CMailStore::CloseSession() {
  // The order of these releases is part of the contract with the platform.
  storeNamespace_.Reset();
  currentFolder_.Reset();
  mimeAllocator_.Reset();
  currentMessage_.Reset();
  rootBodyProperties_.Reset();
  ClearContactList();
  ClearMessageList();
  ClearFolderList();
  ClearAttachmentList();
  return 1;
}

void CMailStore::ClearFolderList() { folders_.DeleteAll(); }
void CMailStore::ClearMessageList() { messages_.DeleteAll(); }
void CMailStore::ClearContactList() { contacts_.DeleteAll(); }
void CMailStore::ClearAttachmentList() { attachments_.DeleteAll(); }
