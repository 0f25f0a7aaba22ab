// CMailStore: the folder catalogue (the cached folder tree) and the folder
// changes.

#include <cstring>
#include <memory>
#include <new>

#include "store/mailstore.h"

int32_t CMailStore::RebuildFolderList() {
  if (!storeNamespace_) return 0;
  ClearFolderList();
  if (WalkFolders(FOLDERID_ROOT, 0) == 1) return 1;
  ClearFolderList();
  return 0;
}

int32_t CMailStore::WalkFolders(STOREFOLDERID parentId, int32_t depth) {
  if (!storeNamespace_) return 0;
  // Each level has its own block and its own enumeration handle.
  FOLDERPROPS props{};
  props.cbSize = CB_FOLDERPROPS;
  HENUMSTORE enumeration = 0;
  HRESULT status = storeNamespace_->GetFirstSubFolder(parentId, &props, &enumeration);
  if (FAILED(status)) return 0;

  int32_t result = 1;
  while (status != S_FALSE) {
    if (enumeration == 0) return 1;

    std::unique_ptr<CFolderEntry> record(new (std::nothrow) CFolderEntry);
    CFolderEntry* appended = nullptr;
    if (record) {
      newFolder_ = record.get();
      record->cbSize = props.cbSize;
      record->dwFolderId = props.dwFolderId;
      record->cSubFolders = props.cSubFolders;
      record->sfType = props.sfType;
      record->cUnread = props.cUnread;
      record->cMessage = props.cMessage;
      record->depth = depth;
      try {
        // A name the store failed to terminate is cut at the block's end.
        record->name.assign(props.szName, strnlen(props.szName, sizeof props.szName));
        appended = folders_.AddTail(std::move(record));
      } catch (const std::bad_alloc&) {
        appended = nullptr;
      }
      newFolder_ = nullptr;
    }
    if (!appended) {
      // This level stops; its handle is still closed below.
      result = 0;
      break;
    }

    WalkFolders(appended->dwFolderId, depth + 1);

    status = storeNamespace_->GetNextSubFolder(enumeration, &props);
    if (FAILED(status)) break;
  }
  if (enumeration != 0) storeNamespace_->GetSubFolderClose(enumeration);
  return result;
}

int32_t CMailStore::GetFolderCount() const { return folders_.GetCount(); }

int32_t CMailStore::GetFolderId(int32_t index) const {
  const CFolderEntry* folder = folders_.FindIndex(index);
  return folder ? static_cast<int32_t>(folder->dwFolderId) : -1;
}

std::string CMailStore::GetFolderName(int32_t index) const {
  const CFolderEntry* folder = folders_.FindIndex(index);
  return folder ? folder->name : std::string();
}

int32_t CMailStore::GetFolderSubFolderCount(int32_t index) const {
  const CFolderEntry* folder = folders_.FindIndex(index);
  return folder ? folder->cSubFolders : 0;
}

int32_t CMailStore::GetFolderType(int32_t index) const {
  const CFolderEntry* folder = folders_.FindIndex(index);
  if (!folder) return 0;
  if (folder->sfType == FOLDER_NOTSPECIAL) return -1;
  if (folder->sfType >= FOLDER_INBOX && folder->sfType <= FOLDER_MAX) return folder->sfType + 1;
  return 0;
}

int32_t CMailStore::GetFolderUnreads(int32_t index) const {
  const CFolderEntry* folder = folders_.FindIndex(index);
  return folder ? static_cast<int32_t>(folder->cUnread) : 0;
}

int32_t CMailStore::GetFolderMessageCount(int32_t index) const {
  const CFolderEntry* folder = folders_.FindIndex(index);
  return folder ? static_cast<int32_t>(folder->cMessage) : 0;
}

int32_t CMailStore::GetFolderHierarchy(int32_t index) const {
  const CFolderEntry* folder = folders_.FindIndex(index);
  return folder ? folder->depth : -1;
}

int32_t CMailStore::CreateFolder(int32_t parentFolderId, const std::string& newFolderName) {
  if (newFolderName.empty()) return 0;
  if (!storeNamespace_) return 0;
  STOREFOLDERID newId = 0;  // the new folder is found through the rebuilt list
  if (FAILED(storeNamespace_->CreateFolder(static_cast<STOREFOLDERID>(parentFolderId),
                                           newFolderName.c_str(), 0, &newId))) {
    return 0;
  }
  return RebuildFolderList();
}

int32_t CMailStore::RenameFolder(int32_t folderId, const std::string& newFolderName) {
  if (!storeNamespace_) return 0;
  if (FAILED(storeNamespace_->RenameFolder(static_cast<STOREFOLDERID>(folderId), 0,
                                           newFolderName.c_str()))) {
    return 0;
  }
  return RebuildFolderList();
}

int32_t CMailStore::RemoveFolder(int32_t folderId) {
  if (!storeNamespace_) return 0;
  if (FAILED(storeNamespace_->DeleteFolder(static_cast<STOREFOLDERID>(folderId), 0))) return 0;
  return RebuildFolderList();
}
