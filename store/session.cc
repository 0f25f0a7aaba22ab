// CMailStore: construction, destruction, the session and the list clearing.

#include <cstring>

#include "platform/registry.h"
#include "platform/runtime.h"
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

int32_t CMailStore::OpenSession() {
  // Whatever an earlier session left in these fields is given back before new
  // interfaces are opened; the address book stays until a new one opens.
  storeNamespace_.Reset();
  currentFolder_.Reset();
  mimeAllocator_.Reset();
  currentMessage_.Reset();
  rootBodyProperties_.Reset();
  newAttachment_ = nullptr;
  newContact_ = nullptr;
  newFolder_ = nullptr;
  newMessage_ = nullptr;

  if (FAILED(CoInitialize(nullptr))) return 0;

  if (FAILED(CoCreateInstance(CLSID_StoreNamespace, nullptr,
                              CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IStoreNamespace,
                              storeNamespace_.PutVoid())) ||
      !storeNamespace_) {
    storeNamespace_.Detach();  // nothing owned comes with a failure
    return 0;
  }
  if (FAILED(storeNamespace_->Initialize(nullptr, 0))) {
    storeNamespace_.Reset();
    return 0;
  }
  if (FAILED(CoCreateInstance(CLSID_IMimeAllocator, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IMimeAllocator, mimeAllocator_.PutVoid())) ||
      !mimeAllocator_) {
    mimeAllocator_.Detach();
    return 0;
  }
  return OpenAddressBook();
}

bool CMailStore::ReadWabPath() {
  wabPath_[0] = '\0';
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, 0, KEY_ALL_ACCESS, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  // The buffer starts zeroed, so a value stored without its terminating zero
  // is still terminated when it is shorter than the buffer.
  char buffer[kWabPathSize] = {};
  DWORD size = sizeof buffer;
  const LSTATUS status =
      RegQueryValueExA(key, "", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return false;
  const size_t length = strnlen(buffer, sizeof buffer);
  if (length == 0 || length == sizeof buffer) return false;  // empty, or no room for the zero
  std::memcpy(wabPath_, buffer, length + 1);
  return true;
}

int32_t CMailStore::OpenAddressBook() {
  // No registered path counts as a library that would not load.
  wabModule_ = ReadWabPath() ? LoadLibraryA(wabPath_) : nullptr;
  if (!wabModule_) return 1;
  // Every load is kept until destruction: the WABOpen entry and the address
  // book's objects may come from any of them.
  try {
    wabLoads_.push_back(wabModule_);
  } catch (...) {
    FreeLibrary(wabModule_);
    wabModule_ = nullptr;
    return 1;
  }

  wabOpen_ = reinterpret_cast<LPWABOPEN>(GetProcAddress(wabModule_, WAB_OPEN_ENTRY));
  if (!wabOpen_) return 0;

  IAddrBook* addressBook = nullptr;
  IWABObject* wabObject = nullptr;
  if (FAILED(wabOpen_(&addressBook, &wabObject, nullptr, 0))) return 0;
  ComPtr<IAddrBook> newAddressBook = ComPtr<IAddrBook>::Adopt(addressBook);
  ComPtr<IWABObject> newWabObject = ComPtr<IWABObject>::Adopt(wabObject);
  // Only an open that delivered both objects replaces those held so far.
  if (newAddressBook && newWabObject) {
    addressBook_.Swap(newAddressBook);
    wabObject_.Swap(newWabObject);
  }
  newAddressBook.Reset();  // the earlier ones, or what came without its partner
  newWabObject.Reset();
  return 1;
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
