#include "services/imap/imap_objects.h"

#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/mime.h"
#include "platform/runtime.h"
#include "platform/store.h"
#include "platform/store_import.h"
#include "runtime/com_ptr.h"
#include "runtime/status_guard.h"
#include "runtime/text.h"
#include "runtime/unknown_impl.h"
#include "services/imap/imap_store.h"
#include "services/store/memory_stream.h"
#include "services/store/module_state.h"

namespace vorn_imap {
namespace {

using vorn_store::FolderInfo;
using vorn_store::MemoryStream;
using vorn_store::MessageInfo;
using vorn_store::ModuleReference;

// Answered only by this server's folder objects. Not a public interface.
constexpr IID IID_ImapFolderObject = MakeGuid("{6B0F3C1E-5D2A-4E8B-9C41-2F7A8D3E9B10}");

// Messages read from the cache at a time while a folder is enumerated.
constexpr size_t kMessagesPerPage = 512;

// A handle for an enumeration or a batch: unique in the process, never 0.
ULONG_PTR NewHandle() {
  static std::atomic<ULONG_PTR> next{1};
  return next++;
}

HRESULT CheckMessageList(LPMESSAGEIDLIST list, std::vector<MESSAGEID>* ids) {
  if (!list) return E_POINTER;
  if (list->cbSize != CB_MESSAGEIDLIST) return E_INVALIDARG;
  if (list->cMsgs > 0 && !list->prgdwMsgId) return E_POINTER;
  ids->clear();
  std::unordered_set<MESSAGEID> seen;
  for (ULONG i = 0; i < list->cMsgs; ++i) {
    if (seen.insert(list->prgdwMsgId[i]).second) ids->push_back(list->prgdwMsgId[i]);
  }
  return S_OK;
}

// The four texts share one allocation, which starts at pszSubject.
void ClearMessageProps(LPMESSAGEPROPS props) {
  CoTaskMemFree(props->pszSubject);
  props->pszSubject = props->pszDisplayTo = props->pszDisplayFrom = props->pszNormalSubject =
      nullptr;
  if (props->pStream) props->pStream->Release();
  props->pStream = nullptr;
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
  const std::string* texts[] = {&info.subject, &info.displayTo, &info.displayFrom,
                                &info.normalSubject};
  size_t total = 0;
  for (const std::string* text : texts) total += text->size() + 1;
  auto* block = static_cast<char*>(CoTaskMemAlloc(total));
  LPSTR* members[] = {&props->pszSubject, &props->pszDisplayTo, &props->pszDisplayFrom,
                      &props->pszNormalSubject};
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

// Parses `raw` with the MIME library (caller owns *object).
HRESULT OpenParsed(Store& store, std::string raw, REFIID riid, void** object) {
  ComPtr<IClassFactory> factory;
  HRESULT hr = store.MimeFactory(&factory);
  if (FAILED(hr)) return hr;
  ComPtr<IPersistStreamInit> persist;
  if (FAILED(hr = factory->CreateInstance(nullptr, IID_IPersistStreamInit, persist.PutVoid()))) {
    return hr;
  }
  if (!persist) return E_NOINTERFACE;
  ComPtr<IStream> stream;
  auto bytes = std::make_shared<const std::string>(std::move(raw));
  if (FAILED(hr = MemoryStream::CreateReader(std::move(bytes), stream.Put()))) return hr;
  if (FAILED(hr = persist->Load(stream.Get()))) return hr;
  return persist->QueryInterface(riid, object);
}

// ---------------------------------------------------------------------------

class ImapFolder final : public IStoreFolder {
 public:
  ImapFolder(std::shared_ptr<Store> store, STOREFOLDERID id) : store_(std::move(store)), id_(id) {}

  static ImapFolder* FromFolder(IStoreFolder* folder) {
    void* found = nullptr;
    if (!folder || FAILED(folder->QueryInterface(IID_ImapFolderObject, &found)) || !found) {
      return nullptr;
    }
    auto* own = static_cast<ImapFolder*>(found);
    own->Release();
    return own;
  }

  STOREFOLDERID id() const { return id_; }
  const Store* store() const { return store_.get(); }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceFrom(
        {{IID_IUnknown, this}, {IID_IStoreFolder, this}, {IID_ImapFolderObject, this}}, riid, ppv);
  }
  ULONG AddRef() override { return references_.AddRef(); }
  ULONG Release() override { return references_.Release([this] { delete this; }); }

  HRESULT GetMessageProps(MESSAGEID messageId, DWORD flags, LPMESSAGEPROPS props) override {
    if (!props) return E_POINTER;
    if (props->cbSize != CB_MESSAGEPROPS) return E_INVALIDARG;
    return vorn_rt::Guarded([&]() -> HRESULT {
      MessageInfo info;
      HRESULT hr = store_->GetMessage(id_, messageId, &info);
      if (FAILED(hr)) return hr;
      ComPtr<IStream> stream;
      if (!(flags & MSGPROPS_FAST)) {
        auto raw = std::make_shared<std::string>();
        if (FAILED(hr = store_->ReadMessageText(id_, messageId, raw.get()))) return hr;
        if (FAILED(hr = MemoryStream::CreateReader(std::move(raw), stream.Put()))) return hr;
      }
      if (FAILED(hr = FillMessageProps(info, props))) return hr;
      props->pStream = stream.Detach();
      return S_OK;
    });
  }

  HRESULT FreeMessageProps(LPMESSAGEPROPS props) override {
    if (!props) return E_POINTER;
    if (props->cbSize != CB_MESSAGEPROPS) return E_INVALIDARG;
    ClearMessageProps(props);
    return S_OK;
  }

  HRESULT DeleteMessages(LPMESSAGEIDLIST messages, DWORD, IProgressNotify*) override {
    return vorn_rt::Guarded([&]() -> HRESULT {
      std::vector<MESSAGEID> ids;
      HRESULT hr = CheckMessageList(messages, &ids);
      if (FAILED(hr)) return hr;
      return store_->DeleteMessages(id_, ids);
    });
  }

  HRESULT MarkMessagesAsRead(BOOL read, DWORD, LPMESSAGEIDLIST messages) override {
    return vorn_rt::Guarded([&]() -> HRESULT {
      std::vector<MESSAGEID> ids;
      HRESULT hr = CheckMessageList(messages, &ids);
      if (FAILED(hr)) return hr;
      return store_->MarkMessages(id_, ids, read != FALSE);
    });
  }

  HRESULT OpenMessage(MESSAGEID messageId, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    bool asText = riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream;
    bool parsed = riid == IID_IMimeMessage || riid == IID_IPersistStreamInit;
    return vorn_rt::Guarded([&]() -> HRESULT {
      auto raw = std::make_shared<std::string>();
      HRESULT hr = store_->ReadMessageText(id_, messageId, raw.get());
      if (FAILED(hr)) return hr;
      if (!asText && !parsed) return E_NOINTERFACE;
      if (parsed) return OpenParsed(*store_, std::move(*raw), riid, object);
      ComPtr<IStream> stream;
      if (FAILED(hr = MemoryStream::CreateReader(std::move(raw), stream.Put()))) return hr;
      return stream->QueryInterface(riid, object);
    });
  }

  HRESULT GetFirstMessage(DWORD, DWORD, MESSAGEID firstId, LPMESSAGEPROPS props,
                          LPHENUMSTORE enumeration) override {
    if (!enumeration) return E_POINTER;
    *enumeration = 0;
    if (!props) return E_POINTER;
    if (props->cbSize != CB_MESSAGEPROPS) return E_INVALIDARG;
    return vorn_rt::Guarded([&]() -> HRESULT {
      Enumeration state;
      HRESULT hr = store_->ListMessages(id_, firstId == MESSAGEID_FIRST ? 1 : firstId,
                                        kMessagesPerPage, &state.rows);
      if (FAILED(hr)) return hr;
      if (state.rows.empty()) return S_FALSE;
      if (FAILED(hr = FillMessageProps(state.rows[0], props))) return hr;
      state.next = 1;
      HENUMSTORE handle = NewHandle();
      std::lock_guard lock(mutex_);
      enumerations_.emplace(handle, std::move(state));
      *enumeration = handle;
      return S_OK;
    });
  }

  HRESULT GetNextMessage(HENUMSTORE enumeration, DWORD, LPMESSAGEPROPS props) override {
    if (!props) return E_POINTER;
    if (props->cbSize != CB_MESSAGEPROPS) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    auto found = enumerations_.find(enumeration);
    if (found == enumerations_.end()) return E_HANDLE;
    Enumeration& state = found->second;
    if (state.next >= state.rows.size()) {
      // The next page, from the cache the first one was synced into.
      if (state.rows.size() < kMessagesPerPage) return S_FALSE;
      MESSAGEID after = state.rows.back().id + 1;
      HRESULT hr = vorn_rt::Guarded(
          [&] { return store_->ListMoreMessages(id_, after, kMessagesPerPage, &state.rows); });
      state.next = 0;
      if (FAILED(hr)) return hr;
      if (state.rows.empty()) return S_FALSE;
    }
    HRESULT hr = FillMessageProps(state.rows[state.next], props);
    if (SUCCEEDED(hr)) ++state.next;
    return hr;
  }

  HRESULT GetMessageClose(HENUMSTORE enumeration) override {
    std::lock_guard lock(mutex_);
    return enumerations_.erase(enumeration) == 1 ? S_OK : E_HANDLE;
  }

  HRESULT CreateStream(HBATCHLOCK, DWORD, IStream** stream, LPMESSAGEID messageId) override {
    if (stream) *stream = nullptr;
    if (messageId) *messageId = MESSAGEID_INVALID;
    if (!stream || !messageId) return E_POINTER;
    return vorn_rt::Guarded([&]() -> HRESULT {
      HRESULT hr = store_->FolderExists(id_);
      if (FAILED(hr)) return hr == STG_E_FILENOTFOUND ? STG_E_REVERTED : hr;
      vorn_store::Reservation reservation;
      reservation.storePath = store_->cache_path();
      reservation.folder = id_;
      if (FAILED(hr = store_->ReserveMessageId(&reservation.id))) return hr;
      MESSAGEID id = reservation.id;
      if (FAILED(hr = MemoryStream::CreateWriter(std::move(reservation), stream))) return hr;
      *messageId = id;
      return S_OK;
    });
  }

  HRESULT CommitStream(HBATCHLOCK, DWORD, DWORD msgFlags, IStream* stream, MESSAGEID messageId,
                       IMimeMessage*) override {
    if (!stream) return E_POINTER;
    MemoryStream* own = MemoryStream::FromStream(stream);
    vorn_store::Reservation* reservation = own ? own->reservation() : nullptr;
    if (!reservation || reservation->storePath != store_->cache_path() ||
        reservation->folder != id_ || reservation->id != messageId) {
      return E_INVALIDARG;
    }
    if (reservation->committed) return E_UNEXPECTED;
    return vorn_rt::Guarded([&]() -> HRESULT {
      NewMail mail;
      mail.raw = own->bytes();
      mail.seen = (msgFlags & MSGFLAG_READ) != 0;
      mail.reserved = reservation->id;
      HRESULT hr = store_->Append(id_, {mail}, nullptr);
      if (SUCCEEDED(hr)) reservation->committed = true;
      return hr;
    });
  }

 private:
  struct Enumeration {
    std::vector<MessageInfo> rows;
    size_t next = 0;
  };

  ~ImapFolder() = default;

  ModuleReference moduleReference_;
  RefCount<> references_;
  const std::shared_ptr<Store> store_;
  const STOREFOLDERID id_;
  std::mutex mutex_;
  std::map<HENUMSTORE, Enumeration> enumerations_;
};

// ---------------------------------------------------------------------------

class ImapNamespace final : public IStoreNamespace, public IStoreImport {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<IStoreNamespace, IStoreImport>(this, riid, ppv);
  }
  ULONG AddRef() override { return references_.AddRef(); }
  ULONG Release() override { return references_.Release([this] { delete this; }); }

  HRESULT Initialize(HWND, DWORD) override {
    return vorn_rt::Guarded([&]() -> HRESULT {
      std::lock_guard lock(mutex_);
      if (store_) return S_OK;
      DWORD needed = VornGetRootPath(nullptr, 0);
      if (needed == 0) return STG_E_ACCESSDENIED;
      std::string root(needed + 1, '\0');
      if (VornGetRootPath(root.data(), static_cast<DWORD>(root.size())) != needed) {
        return STG_E_ACCESSDENIED;
      }
      root.resize(needed);
      return Store::Open(root, &store_);
    });
  }

  HRESULT OpenFolder(STOREFOLDERID folderId, DWORD, IStoreFolder** folder) override {
    if (!folder) return E_POINTER;
    *folder = nullptr;
    return WithStore([&](const std::shared_ptr<Store>& store) -> HRESULT {
      HRESULT hr = store->FolderExists(folderId);
      if (FAILED(hr)) return hr;
      *folder = new ImapFolder(store, folderId);
      return S_OK;
    });
  }

  HRESULT CreateFolder(STOREFOLDERID parentId, LPCSTR name, DWORD,
                       LPSTOREFOLDERID newId) override {
    if (newId) *newId = FOLDERID_INVALID;
    if (!name) return E_POINTER;
    return WithStore([&](const std::shared_ptr<Store>& store) {
      STOREFOLDERID id = FOLDERID_INVALID;
      HRESULT hr = store->CreateFolder(parentId, name, &id);
      if (SUCCEEDED(hr) && newId) *newId = id;
      return hr;
    });
  }

  HRESULT RenameFolder(STOREFOLDERID folderId, DWORD, LPCSTR name) override {
    if (!name) return E_POINTER;
    return WithStore(
        [&](const std::shared_ptr<Store>& store) { return store->RenameFolder(folderId, name); });
  }

  HRESULT DeleteFolder(STOREFOLDERID folderId, DWORD) override {
    return WithStore(
        [&](const std::shared_ptr<Store>& store) { return store->DeleteFolder(folderId); });
  }

  HRESULT CopyMoveMessages(IStoreFolder* source, IStoreFolder* destination,
                           LPMESSAGEIDLIST messages, DWORD flags, DWORD flagsToRemove,
                           IProgressNotify*) override {
    if (!source || !destination) return E_POINTER;
    return WithStore([&](const std::shared_ptr<Store>& store) -> HRESULT {
      std::vector<MESSAGEID> ids;
      HRESULT hr = CheckMessageList(messages, &ids);
      if (FAILED(hr)) return hr;
      ImapFolder* from = ImapFolder::FromFolder(source);
      ImapFolder* to = ImapFolder::FromFolder(destination);
      // Both folders must be this server's, of this very account.
      if (!from || !to || from->store() != store.get() || to->store() != store.get()) {
        return E_INVALIDARG;
      }
      return store->CopyMoveMessages(from->id(), to->id(), ids, (flags & CMF_MOVE) != 0,
                                     flagsToRemove);
    });
  }

  HRESULT GetFirstSubFolder(STOREFOLDERID parentId, LPFOLDERPROPS props,
                            LPHENUMSTORE enumeration) override {
    if (!enumeration) return E_POINTER;
    *enumeration = 0;
    if (!props) return E_POINTER;
    if (props->cbSize != CB_FOLDERPROPS) return E_INVALIDARG;
    return WithStore([&](const std::shared_ptr<Store>& store) -> HRESULT {
      SubFolders state;
      HRESULT hr = store->ListSubFolders(parentId, &state.folders);
      if (FAILED(hr)) return hr;
      if (state.folders.empty()) return S_FALSE;
      FillFolderProps(state.folders.front(), props);
      state.next = 1;
      HENUMSTORE handle = NewHandle();
      std::lock_guard lock(mutex_);
      subFolders_.emplace(handle, std::move(state));
      *enumeration = handle;
      return S_OK;
    });
  }

  HRESULT GetNextSubFolder(HENUMSTORE enumeration, LPFOLDERPROPS props) override {
    if (!props) return E_POINTER;
    if (props->cbSize != CB_FOLDERPROPS) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    auto found = subFolders_.find(enumeration);
    if (found == subFolders_.end()) return E_HANDLE;
    SubFolders& state = found->second;
    if (state.next >= state.folders.size()) return S_FALSE;
    FillFolderProps(state.folders[state.next++], props);
    return S_OK;
  }

  HRESULT GetSubFolderClose(HENUMSTORE enumeration) override {
    std::lock_guard lock(mutex_);
    return subFolders_.erase(enumeration) == 1 ? S_OK : E_HANDLE;
  }

  // --- IStoreImport. A batch keeps its messages here and appends them,
  // pipelined, when it is committed; aborting it sends nothing.

  HRESULT BeginBatch(HBATCHLOCK* batch) override {
    if (!batch) return E_POINTER;
    *batch = 0;
    return WithStore([&](const std::shared_ptr<Store>&) -> HRESULT {
      std::lock_guard lock(mutex_);
      if (batch_ != 0) return E_UNEXPECTED;
      batch_ = NewHandle();
      *batch = batch_;
      return S_OK;
    });
  }

  HRESULT CommitBatch(HBATCHLOCK batch) override {
    return WithStore([&](const std::shared_ptr<Store>& store) -> HRESULT {
      std::vector<Pending> pending;
      {
        std::lock_guard lock(mutex_);
        if (batch == 0 || batch != batch_) return E_HANDLE;
        pending = std::move(pending_);
        pending_.clear();
        batch_ = 0;
      }
      // One pipelined run per folder, in the order the folders came.
      std::vector<STOREFOLDERID> order;
      std::map<STOREFOLDERID, std::vector<NewMail>> byFolder;
      for (Pending& p : pending) {
        if (!byFolder.count(p.folder)) order.push_back(p.folder);
        byFolder[p.folder].push_back(std::move(p.mail));
      }
      for (STOREFOLDERID folder : order) {
        HRESULT hr = store->Append(folder, byFolder[folder], nullptr);
        if (FAILED(hr)) return hr;
      }
      return S_OK;
    });
  }

  HRESULT AbortBatch(HBATCHLOCK batch) override {
    return WithStore([&](const std::shared_ptr<Store>&) -> HRESULT {
      std::lock_guard lock(mutex_);
      if (batch == 0 || batch != batch_) return E_HANDLE;
      pending_.clear();
      batch_ = 0;
      return S_OK;
    });
  }

  HRESULT ImportMessage(HBATCHLOCK batch, STOREFOLDERID folderId, const BYTE* data, ULONG cb,
                        const FILETIME* received, DWORD msgFlags,
                        LPMESSAGEID messageId) override {
    if (messageId) *messageId = MESSAGEID_INVALID;
    if (!data && cb > 0) return E_POINTER;
    uint64_t receivedTicks = received ? vorn_rt::TicksOf(*received) : 0;
    if (receivedTicks >= (uint64_t{1} << 63)) return E_INVALIDARG;
    return WithStore([&](const std::shared_ptr<Store>& store) -> HRESULT {
      {
        std::lock_guard lock(mutex_);
        if (batch != 0 && batch != batch_) return E_HANDLE;
      }
      HRESULT hr = store->FolderExists(folderId);
      if (FAILED(hr)) return hr;
      NewMail mail;
      mail.raw.assign(reinterpret_cast<const char*>(data), cb);
      mail.seen = (msgFlags & MSGFLAG_READ) != 0;
      mail.received = receivedTicks;
      if (FAILED(hr = store->ReserveMessageId(&mail.reserved))) return hr;
      MESSAGEID id = mail.reserved;
      std::unique_lock lock(mutex_);
      if (batch_ != 0) {
        pending_.push_back(Pending{folderId, std::move(mail),
                                   vorn_store::ComputeDigest(data, cb)});
      } else {
        lock.unlock();
        if (FAILED(hr = store->Append(folderId, {mail}, nullptr))) return hr;
      }
      if (messageId) *messageId = id;
      return S_OK;
    });
  }

  HRESULT FindMessageByDigest(const BYTE* digest, ULONG cbDigest, LPSTOREFOLDERID folderId,
                              LPMESSAGEID messageId) override {
    if (folderId) *folderId = FOLDERID_INVALID;
    if (messageId) *messageId = MESSAGEID_INVALID;
    if (!digest || !folderId || !messageId) return E_POINTER;
    if (cbDigest != CB_MESSAGE_DIGEST) return E_INVALIDARG;
    return WithStore([&](const std::shared_ptr<Store>& store) -> HRESULT {
      vorn_store::Digest wanted;
      std::memcpy(wanted.data(), digest, wanted.size());
      HRESULT hr = store->FindByDigest(wanted, folderId, messageId);
      if (hr != S_FALSE) return hr;
      std::lock_guard lock(mutex_);
      for (const Pending& p : pending_) {
        if (p.digest == wanted) {
          *folderId = p.folder;
          *messageId = p.mail.reserved;
          return S_OK;
        }
      }
      return S_FALSE;
    });
  }

  HRESULT GetMessageDigest(const BYTE* data, ULONG cb, BYTE* digest, ULONG cbDigest) override {
    if (!digest || (!data && cb > 0)) return E_POINTER;
    if (cbDigest != CB_MESSAGE_DIGEST) return E_INVALIDARG;
    vorn_store::Digest computed = vorn_store::ComputeDigest(data, cb);
    std::memcpy(digest, computed.data(), computed.size());
    return S_OK;
  }

 private:
  struct SubFolders {
    std::vector<FolderInfo> folders;
    size_t next = 0;
  };
  struct Pending {
    STOREFOLDERID folder;
    NewMail mail;
    vorn_store::Digest digest;
  };

  ~ImapNamespace() = default;

  template <class Body>
  HRESULT WithStore(Body&& body) {
    return vorn_rt::Guarded([&]() -> HRESULT {
      std::shared_ptr<Store> store;
      {
        std::lock_guard lock(mutex_);
        store = store_;
      }
      if (!store) return E_UNEXPECTED;
      return body(store);
    });
  }

  ModuleReference moduleReference_;
  RefCount<> references_;
  std::mutex mutex_;
  std::shared_ptr<Store> store_;
  std::map<HENUMSTORE, SubFolders> subFolders_;
  HBATCHLOCK batch_ = 0;
  std::vector<Pending> pending_;
};

}  // namespace

HRESULT CreateImapNamespace(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  auto* created = new (std::nothrow) ImapNamespace();
  if (!created) return E_OUTOFMEMORY;
  HRESULT hr = created->QueryInterface(riid, ppv);
  created->Release();
  return hr;
}

}  // namespace vorn_imap
