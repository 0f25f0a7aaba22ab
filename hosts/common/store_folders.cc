#include "hosts/common/store_folders.h"

#include "runtime/text.h"

namespace vorn_host {

bool SplitFolderPath(std::string_view path, std::vector<std::string>* names) {
  names->clear();
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  while (!path.empty()) {
    size_t slash = path.find('/');
    std::string_view name = path.substr(0, slash);
    if (name.empty()) return false;
    names->emplace_back(name);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  }
  return true;
}

HRESULT FindSubFolder(IStoreNamespace* store, STOREFOLDERID parent, const std::string* name,
                      STOREFOLDERID* found) {
  *found = FOLDERID_INVALID;
  STOREFOLDERID caseless = FOLDERID_INVALID;
  FOLDERPROPS props{};
  props.cbSize = CB_FOLDERPROPS;
  HENUMSTORE enumeration = 0;
  HRESULT hr = store->GetFirstSubFolder(parent, &props, &enumeration);
  while (hr == S_OK) {
    if (!name) {
      if (props.sfType == FOLDER_INBOX) *found = props.dwFolderId;
    } else if (*name == props.szName) {
      *found = props.dwFolderId;
    } else if (caseless == FOLDERID_INVALID && vorn_rt::EqualNoCase(*name, props.szName)) {
      caseless = props.dwFolderId;
    }
    if (*found != FOLDERID_INVALID) break;
    hr = store->GetNextSubFolder(enumeration, &props);
  }
  if (enumeration != 0) store->GetSubFolderClose(enumeration);
  if (*found == FOLDERID_INVALID) *found = caseless;
  return FAILED(hr) ? hr : S_OK;
}

HRESULT ListSubFolders(IStoreNamespace* store, STOREFOLDERID parent,
                       std::vector<FOLDERPROPS>* folders) {
  folders->clear();
  FOLDERPROPS props{};
  props.cbSize = CB_FOLDERPROPS;
  HENUMSTORE enumeration = 0;
  HRESULT hr = store->GetFirstSubFolder(parent, &props, &enumeration);
  while (hr == S_OK) {
    props.szName[CCH_FOLDER_NAME - 1] = '\0';
    folders->push_back(props);
    hr = store->GetNextSubFolder(enumeration, &props);
  }
  if (enumeration != 0) store->GetSubFolderClose(enumeration);
  return FAILED(hr) ? hr : S_OK;
}

}  // namespace vorn_host
