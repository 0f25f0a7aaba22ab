#include "hosts/common/store_folders.h"

#include "hosts/common/status_text.h"
#include "platform/runtime.h"
#include "runtime/text.h"

namespace vorn_host {

namespace {

std::string RootPath() {
  DWORD needed = VornGetRootPath(nullptr, 0);
  if (needed == 0) return "the platform root";
  std::string root(needed + 1, '\0');
  if (VornGetRootPath(root.data(), static_cast<DWORD>(root.size())) != needed) {
    return "the platform root";
  }
  root.resize(needed);
  return root;
}

}  // namespace

bool OpenMailStore(const char* tool, const char* registerHint, FILE* err,
                   ComPtr<IStoreNamespace>* store) {
  HRESULT hr = CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IStoreNamespace, store->PutVoid());
  if (FAILED(hr)) {
    std::fprintf(err, "%s: the mail store is not available in %s: %s\n%s\n", tool,
                 RootPath().c_str(), StatusText(hr).c_str(), registerHint);
    return false;
  }
  if (FAILED(hr = (*store)->Initialize(nullptr, 0))) {
    std::fprintf(err, "%s: cannot open the mail store in %s: %s\n", tool, RootPath().c_str(),
                 StatusText(hr).c_str());
    return false;
  }
  return true;
}

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
