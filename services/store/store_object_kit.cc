#include "services/store/store_object_kit.h"

#include <algorithm>
#include <unordered_set>

#include "platform/runtime.h"

namespace vorn_store {

HRESULT CheckMessageList(LPMESSAGEIDLIST list, std::vector<MESSAGEID>* ids) {
  if (!list) return E_POINTER;
  if (list->cbSize != CB_MESSAGEIDLIST) return E_INVALIDARG;
  if (list->cMsgs > 0 && !list->prgdwMsgId) return E_POINTER;
  try {
    ids->clear();
    ids->reserve(list->cMsgs);
    // A message named twice is acted on once.
    std::unordered_set<MESSAGEID> seen;
    for (ULONG i = 0; i < list->cMsgs; ++i) {
      MESSAGEID id = list->prgdwMsgId[i];
      if (seen.insert(id).second) ids->push_back(id);
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CheckMessageProps(LPMESSAGEPROPS props) {
  if (!props) return E_POINTER;
  return props->cbSize == CB_MESSAGEPROPS ? S_OK : E_INVALIDARG;
}

HRESULT CheckFolderProps(LPFOLDERPROPS props) {
  if (!props) return E_POINTER;
  return props->cbSize == CB_FOLDERPROPS ? S_OK : E_INVALIDARG;
}

HRESULT FillMessageProps(const MessageInfo& info, LPMESSAGEPROPS props) {
  props->dwReserved = 0;
  props->dwMessageId = info.id;
  props->dwLanguage = info.language;
  props->dwState = info.flags;
  props->cbMessage = info.size;
  props->priority = info.priority;
  props->ftReceived = vorn_rt::FileTimeOf(info.received);
  props->ftSent = vorn_rt::FileTimeOf(info.sent);
  props->dwFlags = info.flags;
  props->pStream = nullptr;
  // One allocation for the four texts: listing a large folder makes one
  // per message instead of four.
  const std::string* texts[] = {&info.subject, &info.displayTo, &info.displayFrom,
                                &info.normalSubject};
  LPSTR* members[] = {&props->pszSubject, &props->pszDisplayTo, &props->pszDisplayFrom,
                      &props->pszNormalSubject};
  size_t total = 0;
  for (const std::string* text : texts) total += text->size() + 1;
  auto* block = static_cast<char*>(CoTaskMemAlloc(total));
  if (!block) {
    for (LPSTR* member : members) *member = nullptr;
    return E_OUTOFMEMORY;
  }
  char* at = block;
  for (int i = 0; i < 4; ++i) {
    std::memcpy(at, texts[i]->c_str(), texts[i]->size() + 1);
    *members[i] = at;
    at += texts[i]->size() + 1;
  }
  return S_OK;
}

void ClearMessageProps(LPMESSAGEPROPS props) {
  CoTaskMemFree(props->pszSubject);
  props->pszSubject = nullptr;
  props->pszDisplayTo = nullptr;
  props->pszDisplayFrom = nullptr;
  props->pszNormalSubject = nullptr;
  if (props->pStream) props->pStream->Release();
  props->pStream = nullptr;
}

void FillFolderProps(const FolderInfo& info, LPFOLDERPROPS props) {
  props->dwFolderId = info.id;
  props->cSubFolders = info.subFolders;
  props->sfType = info.special;
  props->cUnread = info.unread;
  props->cMessage = info.messages;
  std::memset(props->szName, 0, sizeof(props->szName));
  std::memcpy(props->szName, info.name.data(),
              std::min(info.name.size(), sizeof(props->szName) - 1));
}

HRESULT ReadRootPath(std::string* root) {
  DWORD needed = VornGetRootPath(nullptr, 0);
  if (needed == 0) return STG_E_ACCESSDENIED;
  root->assign(needed + 1, '\0');
  if (VornGetRootPath(root->data(), static_cast<DWORD>(root->size())) != needed) {
    return STG_E_ACCESSDENIED;
  }
  root->resize(needed);
  return S_OK;
}

HRESULT OpenAsStream(std::shared_ptr<const std::string> raw, REFIID riid, void** object) {
  ComPtr<IStream> stream;
  HRESULT hr = MemoryStream::CreateReader(std::move(raw), stream.Put());
  if (FAILED(hr)) return hr;
  return stream->QueryInterface(riid, object);
}

HRESULT OpenParsed(IClassFactory* mime, std::shared_ptr<const std::string> raw, REFIID riid,
                   void** object) {
  ComPtr<IPersistStreamInit> persist;
  HRESULT hr = mime->CreateInstance(nullptr, IID_IPersistStreamInit, persist.PutVoid());
  if (FAILED(hr)) return hr;
  if (!persist) return E_NOINTERFACE;
  ComPtr<IStream> stream;
  if (FAILED(hr = MemoryStream::CreateReader(std::move(raw), stream.Put()))) return hr;
  if (FAILED(hr = persist->Load(stream.Get()))) return hr;
  return persist->QueryInterface(riid, object);
}

}  // namespace vorn_store
