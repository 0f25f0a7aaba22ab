#include "services/store/store_objects.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
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
#include "platform/systime.h"
#include "runtime/com_ptr.h"
#include "runtime/status_guard.h"
#include "runtime/text.h"
#include "runtime/unknown_impl.h"
#include "services/store/digest.h"
#include "services/store/header_fields.h"
#include "services/store/memory_stream.h"
#include "services/store/module_state.h"
#include "services/store/store_db.h"

namespace vorn_store {
namespace {

// Answered only by the server's own folder objects, so that
// CopyMoveMessages can tell them from others. Not a public interface.
constexpr IID IID_StoreFolderObject = MakeGuid("{A2FD4B60-A388-4E18-A1AD-483ABDECE25D}");

constexpr const char* kStoreFolder = "/store";
constexpr const char* kStoreFile = "/store/store.db";

// Messages fetched from the database per query while enumerating a folder:
// a first chunk small enough for a small folder, then twice as many each
// time up to the largest, so that a large folder costs few transactions.
constexpr size_t kFirstEnumerationChunk = 256;
constexpr size_t kLargestEnumerationChunk = 1024;

using vorn_rt::FileTimeOf;
using vorn_rt::TicksOf;

uint64_t Now() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return TicksOf(now);
}

// Runs a call's body, turning an exception into a status.
template <class Body>
HRESULT Guard(Body&& body) {
  return vorn_rt::Guarded(std::forward<Body>(body), E_FAIL);
}

// The MIME library's message class, found once per store session.
class MimeClass {
 public:
  // The library's class object for messages (caller owns a reference).
  HRESULT Factory(ComPtr<IClassFactory>* factory) {
    std::lock_guard lock(mutex_);
    if (!factory_) {
      HRESULT hr = CoGetClassObject(CLSID_VornMimeMessage, CLSCTX_INPROC_SERVER, nullptr,
                                    IID_IClassFactory, factory_.PutVoid());
      if (FAILED(hr)) return hr;
      if (!factory_) return E_UNEXPECTED;
    }
    *factory = factory_;
    return S_OK;
  }

  // A new, empty message object of the MIME library (caller owns).
  HRESULT Create(REFIID riid, void** object) {
    ComPtr<IClassFactory> factory;
    HRESULT hr = Factory(&factory);
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, riid, object);
  }

  // Creates a message object and loads it from `raw`. A failure to create
  // the object is returned; a failure to load is returned as well, with the
  // message null, but callers that store messages go on without fields.
  HRESULT Load(std::shared_ptr<const std::string> raw, ComPtr<IMimeMessage>* message,
               bool* created) {
    *created = false;
    message->Reset();
    ComPtr<IPersistStreamInit> persist;
    HRESULT hr = Create(IID_IPersistStreamInit, persist.PutVoid());
    if (FAILED(hr)) return hr;
    if (!persist) return E_NOINTERFACE;
    *created = true;
    ComPtr<IStream> stream;
    if (FAILED(hr = MemoryStream::CreateReader(std::move(raw), stream.Put()))) return hr;
    if (FAILED(hr = persist->Load(stream.Get()))) return hr;
    return persist.As(message);
  }

 private:
  std::mutex mutex_;
  ComPtr<IClassFactory> factory_;
};

// What the namespace and its folders share: the database and the MIME
// class. It lives as long as any of them, so that a folder keeps the store
// open after the namespace has been released.
struct StoreSession {
  std::shared_ptr<StoreDatabase> db;
  MimeClass mime;

  // Parses `raw` once for its header fields and stores it.
  HRESULT Store(HBATCHLOCK batch, STOREFOLDERID folder, std::shared_ptr<const std::string> raw,
                uint64_t received, DWORD flags, MESSAGEID reserved, const BatchState* under,
                MESSAGEID* id) {
    if (raw->size() > kMaxMessageSize) return STG_E_MEDIUMFULL;
    NewMessage message;
    message.raw = *raw;
    message.received = received;
    message.flags = flags;
    message.digest = ComputeDigest(raw->data(), raw->size());
    // Without the MIME library nothing can be read, and the fields are
    // read only now: refuse rather than keep a message without them. A
    // message the library cannot make sense of is kept with what it gave.
    ComPtr<IClassFactory> factory;
    HRESULT hr = mime.Factory(&factory);
    if (SUCCEEDED(hr)) hr = DeriveHeaderFields(raw, factory.Get(), &message.fields);
    if (FAILED(hr)) return hr;
    return db->StoreMessage(batch, folder, reserved, under, message, id);
  }
};

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

// Frees what the store put in *props and sets those members to null. The
// four texts share one allocation, which starts at pszSubject.
void ClearMessageProps(LPMESSAGEPROPS props) {
  CoTaskMemFree(props->pszSubject);
  props->pszSubject = nullptr;
  props->pszDisplayTo = nullptr;
  props->pszDisplayFrom = nullptr;
  props->pszNormalSubject = nullptr;
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
  props->ftReceived = FileTimeOf(info.received);
  props->ftSent = FileTimeOf(info.sent);
  props->dwFlags = info.flags;
  props->pStream = nullptr;
  // One allocation for the four texts: listing a large folder makes one
  // per message instead of four.
  const std::string* texts[] = {&info.subject, &info.displayTo, &info.displayFrom,
                                &info.normalSubject};
  size_t total = 0;
  for (const std::string* text : texts) total += text->size() + 1;
  auto* block = static_cast<char*>(CoTaskMemAlloc(total));
  if (!block) {
    props->pszSubject = props->pszDisplayTo = props->pszDisplayFrom =
        props->pszNormalSubject = nullptr;
    return E_OUTOFMEMORY;
  }
  LPSTR* members[] = {&props->pszSubject, &props->pszDisplayTo, &props->pszDisplayFrom,
                      &props->pszNormalSubject};
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

// ---------------------------------------------------------------------------

class StoreFolder final : public IStoreFolder {
 public:
  StoreFolder(std::shared_ptr<StoreSession> session, STOREFOLDERID id)
      : session_(std::move(session)), id_(id) {}

  // The server's own folder behind `folder`, or null for any other object.
  // Borrowed: valid while the caller holds `folder`.
  static StoreFolder* FromFolder(IStoreFolder* folder) {
    void* found = nullptr;
    if (!folder || FAILED(folder->QueryInterface(IID_StoreFolderObject, &found)) || !found) {
      return nullptr;
    }
    auto* own = static_cast<StoreFolder*>(found);
    own->Release();
    return own;
  }

  STOREFOLDERID id() const { return id_; }
  const std::string& store_path() const { return session_->db->path(); }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceFrom(
        {{IID_IUnknown, this}, {IID_IStoreFolder, this}, {IID_StoreFolderObject, this}}, riid, ppv);
  }
  ULONG AddRef() override { return references_.AddRef(); }
  ULONG Release() override { return references_.Release([this] { delete this; }); }

  HRESULT GetMessageProps(MESSAGEID messageId, DWORD flags, LPMESSAGEPROPS props) override {
    if (!props) return E_POINTER;
    if (props->cbSize != CB_MESSAGEPROPS) return E_INVALIDARG;
    return Guard([&]() -> HRESULT {
      MessageInfo info;
      HRESULT hr = session_->db->GetMessage(id_, messageId, &info);
      if (FAILED(hr)) return hr;
      ComPtr<IStream> stream;
      if (!(flags & MSGPROPS_FAST)) {
        auto raw = std::make_shared<std::string>();
        if (FAILED(hr = session_->db->ReadMessageText(id_, messageId, raw.get()))) return hr;
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
    std::vector<MESSAGEID> ids;
    HRESULT hr = CheckMessageList(messages, &ids);
    if (FAILED(hr)) return hr;
    return Guard([&]() { return session_->db->DeleteMessages(id_, ids); });
  }

  HRESULT MarkMessagesAsRead(BOOL read, DWORD, LPMESSAGEIDLIST messages) override {
    std::vector<MESSAGEID> ids;
    HRESULT hr = CheckMessageList(messages, &ids);
    if (FAILED(hr)) return hr;
    return Guard([&]() { return session_->db->MarkMessages(id_, ids, read != FALSE); });
  }

  HRESULT OpenMessage(MESSAGEID messageId, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    bool asText = riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream;
    bool parsed = riid == IID_IMimeMessage || riid == IID_IPersistStreamInit;
    return Guard([&]() -> HRESULT {
      auto raw = std::make_shared<std::string>();
      HRESULT hr = session_->db->ReadMessageText(id_, messageId, raw.get());
      if (FAILED(hr)) return hr;
      if (!asText && !parsed) return E_NOINTERFACE;
      if (asText) {
        ComPtr<IStream> stream;
        if (FAILED(hr = MemoryStream::CreateReader(std::move(raw), stream.Put()))) return hr;
        return stream->QueryInterface(riid, object);
      }
      ComPtr<IMimeMessage> message;
      bool created = false;
      if (FAILED(hr = session_->mime.Load(std::move(raw), &message, &created))) return hr;
      return message->QueryInterface(riid, object);
    });
  }

  HRESULT GetFirstMessage(DWORD, DWORD, MESSAGEID firstId, LPMESSAGEPROPS props,
                          LPHENUMSTORE enumeration) override {
    if (!enumeration) return E_POINTER;
    *enumeration = 0;
    if (!props) return E_POINTER;
    if (props->cbSize != CB_MESSAGEPROPS) return E_INVALIDARG;
    return Guard([&]() -> HRESULT {
      Enumeration state;
      state.next = firstId == MESSAGEID_FIRST ? 1 : firstId;
      state.removals = session_->db->removal_count();
      HRESULT hr = Refill(&state);
      if (FAILED(hr)) return hr;
      if (state.taken == state.rows.size()) return S_FALSE;
      if (FAILED(hr = FillMessageProps(state.rows[state.taken], props))) return hr;
      ++state.taken;
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
    return Guard([&]() -> HRESULT {
      std::lock_guard lock(mutex_);
      auto found = enumerations_.find(enumeration);
      if (found == enumerations_.end()) return E_HANDLE;
      Enumeration& state = found->second;
      HRESULT hr;
      uint64_t removals = session_->db->removal_count();
      if (removals != state.removals) {
        state.removals = removals;
        if (FAILED(hr = session_->db->FolderExists(id_))) {
          return hr == STG_E_FILENOTFOUND ? STG_E_REVERTED : hr;
        }
      }
      if (state.taken == state.rows.size() && FAILED(hr = Refill(&state))) return hr;
      if (state.taken == state.rows.size()) return S_FALSE;
      if (FAILED(hr = FillMessageProps(state.rows[state.taken], props))) return hr;
      ++state.taken;
      return S_OK;
    });
  }

  HRESULT GetMessageClose(HENUMSTORE enumeration) override {
    std::lock_guard lock(mutex_);
    return enumerations_.erase(enumeration) == 1 ? S_OK : E_HANDLE;
  }

  HRESULT CreateStream(HBATCHLOCK batch, DWORD, IStream** stream,
                       LPMESSAGEID messageId) override {
    if (stream) *stream = nullptr;
    if (messageId) *messageId = MESSAGEID_INVALID;
    if (!stream || !messageId) return E_POINTER;
    return Guard([&]() -> HRESULT {
      HRESULT hr = session_->db->FolderExists(id_);
      if (FAILED(hr)) return hr == STG_E_FILENOTFOUND ? STG_E_REVERTED : hr;
      Reservation reservation;
      reservation.storePath = session_->db->path();
      reservation.folder = id_;
      if (FAILED(hr = session_->db->ReserveMessageId(batch, &reservation.id,
                                                     &reservation.batch))) {
        return hr;
      }
      MESSAGEID id = reservation.id;
      if (FAILED(hr = MemoryStream::CreateWriter(std::move(reservation), stream))) return hr;
      *messageId = id;
      return S_OK;
    });
  }

  HRESULT CommitStream(HBATCHLOCK batch, DWORD, DWORD msgFlags, IStream* stream,
                       MESSAGEID messageId, IMimeMessage*) override {
    if (!stream) return E_POINTER;
    MemoryStream* own = MemoryStream::FromStream(stream);
    Reservation* reservation = own ? own->reservation() : nullptr;
    if (!reservation || reservation->storePath != session_->db->path() ||
        reservation->folder != id_ || reservation->id != messageId) {
      return E_INVALIDARG;
    }
    if (reservation->committed) return E_UNEXPECTED;
    return Guard([&]() -> HRESULT {
      // The parser gets a copy: the caller may go on writing to the stream.
      auto raw = std::make_shared<const std::string>(own->bytes());
      HRESULT hr = session_->Store(batch, id_, std::move(raw), Now(), msgFlags, reservation->id,
                                   reservation->batch.get(), nullptr);
      if (SUCCEEDED(hr)) reservation->committed = true;
      return hr;
    });
  }

 private:
  struct Enumeration {
    MESSAGEID next = 1;           // the lowest identifier not fetched yet
    std::vector<MessageInfo> rows;  // fetched; those from `taken` on not handed out yet
    size_t taken = 0;
    size_t chunk = kFirstEnumerationChunk;  // rows the next refill asks for
    bool exhausted = false;
    uint64_t removals = 0;
  };

  ~StoreFolder() = default;

  // Fetches the next chunk into state->rows, reusing its storage.
  HRESULT Refill(Enumeration* state) {
    state->taken = 0;
    if (state->exhausted) {
      state->rows.clear();
      return S_OK;
    }
    HRESULT hr = session_->db->ListMessages(id_, state->next, state->chunk, &state->rows);
    if (FAILED(hr)) {
      state->rows.clear();  // a part of a chunk is not handed out
      return hr;
    }
    if (state->rows.size() < state->chunk || state->rows.back().id >= 0xFFFFFFFEu) {
      state->exhausted = true;
    } else {
      state->next = state->rows.back().id + 1;
      state->chunk = std::min(state->chunk * 2, kLargestEnumerationChunk);
    }
    return S_OK;
  }

  ModuleReference moduleReference_;
  RefCount<> references_;
  const std::shared_ptr<StoreSession> session_;
  const STOREFOLDERID id_;
  std::mutex mutex_;
  std::map<HENUMSTORE, Enumeration> enumerations_;
};

// ---------------------------------------------------------------------------

class StoreNamespace final : public IStoreNamespace, public IStoreImport {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<IStoreNamespace, IStoreImport>(this, riid, ppv);
  }
  ULONG AddRef() override { return references_.AddRef(); }
  ULONG Release() override { return references_.Release([this] { delete this; }); }

  HRESULT Initialize(HWND, DWORD) override {
    return Guard([&]() -> HRESULT {
      std::lock_guard lock(mutex_);
      if (session_) return S_OK;
      std::string root;
      DWORD needed = VornGetRootPath(nullptr, 0);
      if (needed == 0) return STG_E_ACCESSDENIED;
      root.resize(needed + 1);
      if (VornGetRootPath(root.data(), static_cast<DWORD>(root.size())) != needed) {
        return STG_E_ACCESSDENIED;
      }
      root.resize(needed);
      std::string folder = root + kStoreFolder;
      if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return StatusFromErrno(errno);
      auto session = std::make_shared<StoreSession>();
      HRESULT hr = StoreDatabase::Open(root + kStoreFile, &session->db);
      if (FAILED(hr)) return hr;
      session_ = std::move(session);
      return S_OK;
    });
  }

  HRESULT OpenFolder(STOREFOLDERID folderId, DWORD, IStoreFolder** folder) override {
    if (!folder) return E_POINTER;
    *folder = nullptr;
    return WithSession([&](const std::shared_ptr<StoreSession>& session) -> HRESULT {
      HRESULT hr = session->db->FolderExists(folderId);
      if (FAILED(hr)) return hr;
      *folder = new StoreFolder(session, folderId);
      return S_OK;
    });
  }

  HRESULT CreateFolder(STOREFOLDERID parentId, LPCSTR name, DWORD,
                       LPSTOREFOLDERID newId) override {
    if (newId) *newId = FOLDERID_INVALID;
    if (!name) return E_POINTER;
    return WithSession([&](const std::shared_ptr<StoreSession>& session) {
      STOREFOLDERID id = FOLDERID_INVALID;
      HRESULT hr = session->db->CreateFolder(parentId, name, &id);
      if (SUCCEEDED(hr) && newId) *newId = id;
      return hr;
    });
  }

  HRESULT RenameFolder(STOREFOLDERID folderId, DWORD, LPCSTR name) override {
    if (!name) return E_POINTER;
    return WithSession([&](const std::shared_ptr<StoreSession>& session) {
      return session->db->RenameFolder(folderId, name);
    });
  }

  HRESULT DeleteFolder(STOREFOLDERID folderId, DWORD) override {
    return WithSession([&](const std::shared_ptr<StoreSession>& session) {
      return session->db->DeleteFolder(folderId);
    });
  }

  HRESULT CopyMoveMessages(IStoreFolder* source, IStoreFolder* destination,
                           LPMESSAGEIDLIST messages, DWORD flags, DWORD flagsToRemove,
                           IProgressNotify*) override {
    if (!source || !destination) return E_POINTER;
    std::vector<MESSAGEID> ids;
    HRESULT hr = CheckMessageList(messages, &ids);
    if (FAILED(hr)) return hr;
    return WithSession([&](const std::shared_ptr<StoreSession>& session) -> HRESULT {
      StoreFolder* from = StoreFolder::FromFolder(source);
      StoreFolder* to = StoreFolder::FromFolder(destination);
      // Both folders must be the server's own, of this very store.
      if (!from || !to || from->store_path() != session->db->path() ||
          to->store_path() != session->db->path()) {
        return E_INVALIDARG;
      }
      return session->db->CopyMoveMessages(from->id(), to->id(), ids, (flags & CMF_MOVE) != 0,
                                            flagsToRemove);
    });
  }

  HRESULT GetFirstSubFolder(STOREFOLDERID parentId, LPFOLDERPROPS props,
                            LPHENUMSTORE enumeration) override {
    if (!enumeration) return E_POINTER;
    *enumeration = 0;
    if (!props) return E_POINTER;
    if (props->cbSize != CB_FOLDERPROPS) return E_INVALIDARG;
    return WithSession([&](const std::shared_ptr<StoreSession>& session) -> HRESULT {
      SubFolders state;
      HRESULT hr = session->db->ListSubFolders(parentId, &state.folders);
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

  // --- IStoreImport

  HRESULT BeginBatch(HBATCHLOCK* batch) override {
    if (!batch) return E_POINTER;
    *batch = 0;
    return WithSession([&](const std::shared_ptr<StoreSession>& session) {
      return session->db->BeginBatch(batch);
    });
  }

  HRESULT CommitBatch(HBATCHLOCK batch) override {
    return WithSession([&](const std::shared_ptr<StoreSession>& session) {
      return session->db->CommitBatch(batch);
    });
  }

  HRESULT AbortBatch(HBATCHLOCK batch) override {
    return WithSession([&](const std::shared_ptr<StoreSession>& session) {
      return session->db->AbortBatch(batch);
    });
  }

  HRESULT ImportMessage(HBATCHLOCK batch, STOREFOLDERID folderId, const BYTE* data, ULONG cb,
                        const FILETIME* received, DWORD msgFlags,
                        LPMESSAGEID messageId) override {
    if (messageId) *messageId = MESSAGEID_INVALID;
    if (!data && cb > 0) return E_POINTER;
    uint64_t receivedTicks = received ? TicksOf(*received) : 0;
    if (receivedTicks >= (uint64_t{1} << 63)) return E_INVALIDARG;
    return WithSession([&](const std::shared_ptr<StoreSession>& session) -> HRESULT {
      auto raw = std::make_shared<const std::string>(reinterpret_cast<const char*>(data), cb);
      HRESULT hr = session->Store(batch, folderId, std::move(raw),
                                  received ? receivedTicks : Now(), msgFlags, 0, nullptr,
                                  messageId);
      // Named by identifier here, a missing folder is an unknown one.
      return hr == STG_E_REVERTED ? STG_E_FILENOTFOUND : hr;
    });
  }

  HRESULT FindMessageByDigest(const BYTE* digest, ULONG cbDigest, LPSTOREFOLDERID folderId,
                              LPMESSAGEID messageId) override {
    if (folderId) *folderId = FOLDERID_INVALID;
    if (messageId) *messageId = MESSAGEID_INVALID;
    if (!digest || !folderId || !messageId) return E_POINTER;
    if (cbDigest != CB_MESSAGE_DIGEST) return E_INVALIDARG;
    return WithSession([&](const std::shared_ptr<StoreSession>& session) {
      Digest wanted;
      std::memcpy(wanted.data(), digest, wanted.size());
      return session->db->FindByDigest(wanted, folderId, messageId);
    });
  }

  HRESULT GetMessageDigest(const BYTE* data, ULONG cb, BYTE* digest, ULONG cbDigest) override {
    if (!digest || (!data && cb > 0)) return E_POINTER;
    if (cbDigest != CB_MESSAGE_DIGEST) return E_INVALIDARG;
    Digest computed = ComputeDigest(data, cb);
    std::memcpy(digest, computed.data(), computed.size());
    return S_OK;
  }

 private:
  struct SubFolders {
    std::vector<FolderInfo> folders;
    size_t next = 0;
  };

  ~StoreNamespace() = default;

  // Runs a call that needs an initialised namespace.
  template <class Body>
  HRESULT WithSession(Body&& body) {
    return Guard([&]() -> HRESULT {
      std::shared_ptr<StoreSession> session;
      {
        std::lock_guard lock(mutex_);
        session = session_;
      }
      if (!session) return E_UNEXPECTED;
      return body(session);
    });
  }

  ModuleReference moduleReference_;
  RefCount<> references_;
  std::mutex mutex_;
  std::shared_ptr<StoreSession> session_;
  std::map<HENUMSTORE, SubFolders> subFolders_;
};

}  // namespace

HRESULT CreateStoreNamespace(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  auto* created = new (std::nothrow) StoreNamespace();
  if (!created) return E_OUTOFMEMORY;
  HRESULT hr = created->QueryInterface(riid, ppv);
  created->Release();
  return hr;
}

}  // namespace vorn_store
