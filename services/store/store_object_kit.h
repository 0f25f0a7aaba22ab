// The objects a store server hands out, written once for every server: the
// namespace (IStoreNamespace with the import extension IStoreImport) and the
// folders it opens (IStoreFolder). What differs from server to server comes
// from a session type, one per initialised namespace, that the folders share:
//
//   static constexpr IID kFolderIid;  answered only by this server's folders
//   static HRESULT Open(const std::string& root, std::shared_ptr<Session>* out);
//   Data& data();       the server's data, with FolderExists, ListSubFolders,
//                       CreateFolder, RenameFolder, DeleteFolder, GetMessage,
//                       ReadMessageText, DeleteMessages, MarkMessages and
//                       CopyMoveMessages as StoreDatabase has them
//   const std::string& path() const;          names the store in reservations
//   bool SameStore(const Session& other) const;  may copy between the two
//   HRESULT MimeFactory(ComPtr<IClassFactory>* factory);  (caller owns)
//   using Cursor = ...;  a folder's messages in identifier order, movable,
//       with HRESULT Peek(const MessageInfo** row) (null at the end) and
//       void Advance()
//   HRESULT OpenCursor(STOREFOLDERID folder, MESSAGEID from, Cursor* cursor);
//   HRESULT Reserve(HBATCHLOCK batch, Reservation* reservation);
//       fills in the identifier (and batch) of a stream about to be written
//   HRESULT CommitStream(HBATCHLOCK batch, STOREFOLDERID folder, DWORD flags,
//                        std::string raw, const Reservation& reservation);
//   HRESULT BeginBatch(HBATCHLOCK*), CommitBatch(HBATCHLOCK), AbortBatch(HBATCHLOCK);
//   HRESULT ImportMessage(HBATCHLOCK batch, STOREFOLDERID folder, std::string raw,
//                         std::optional<uint64_t> received, DWORD flags, MESSAGEID* id);
//   HRESULT FindByDigest(const Digest& digest, STOREFOLDERID* folder, MESSAGEID* id);
//
// The objects check every argument before they call the session, turn
// exceptions into statuses, and keep the enumeration handles. Session
// methods are called only with checked arguments, and from several threads
// at once.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/mime.h"
#include "platform/store.h"
#include "platform/store_import.h"
#include "runtime/com_ptr.h"
#include "runtime/status_guard.h"
#include "runtime/text.h"
#include "runtime/unknown_impl.h"
#include "services/store/digest.h"
#include "services/store/memory_stream.h"
#include "services/store/module_state.h"
#include "services/store/store_db.h"

namespace vorn_store {

// Runs a call's body, turning an exception into a status.
template <class Body>
HRESULT Guard(Body&& body) {
  return vorn_rt::Guarded(std::forward<Body>(body), E_FAIL);
}

// E_POINTER for a null list, E_INVALIDARG for another cbSize; otherwise
// S_OK with *ids the listed identifiers, each once, in the order given.
HRESULT CheckMessageList(LPMESSAGEIDLIST list, std::vector<MESSAGEID>* ids);

// E_POINTER for null, E_INVALIDARG for a cbSize that is not CB_MESSAGEPROPS.
HRESULT CheckMessageProps(LPMESSAGEPROPS props);
// E_POINTER for null, E_INVALIDARG for a cbSize that is not CB_FOLDERPROPS.
HRESULT CheckFolderProps(LPFOLDERPROPS props);

// Fills *props from `info`, with no stream. The four texts share one
// allocation, which starts at pszSubject; on E_OUTOFMEMORY they are null.
HRESULT FillMessageProps(const MessageInfo& info, LPMESSAGEPROPS props);
// Frees what FillMessageProps and the stream put in *props and sets those
// members to null.
void ClearMessageProps(LPMESSAGEPROPS props);

// Fills *props from `info`; a name too long for szName is cut.
void FillFolderProps(const FolderInfo& info, LPFOLDERPROPS props);

// The platform root, without a trailing slash; STG_E_ACCESSDENIED when it
// cannot be named.
HRESULT ReadRootPath(std::string* root);

// A reader over `raw` answering `riid` (caller owns *object).
HRESULT OpenAsStream(std::shared_ptr<const std::string> raw, REFIID riid, void** object);
// A message object of the MIME library's class `mime`, loaded from `raw`,
// answering `riid` (caller owns *object).
HRESULT OpenParsed(IClassFactory* mime, std::shared_ptr<const std::string> raw, REFIID riid,
                   void** object);

// Open enumerations by handle. Every method is safe from several threads.
template <class State>
class HandleTable {
 public:
  HandleTable() = default;
  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;

  // Keeps `state` under a new handle, never 0.
  HENUMSTORE Add(State state) {
    HENUMSTORE handle = NewHandle();
    std::lock_guard lock(mutex_);
    states_.emplace(handle, std::move(state));
    return handle;
  }

  // Runs use(state) for the handle's state, under the table's lock;
  // E_HANDLE for a handle that is not open.
  template <class Use>
  HRESULT With(HENUMSTORE handle, Use&& use) {
    std::lock_guard lock(mutex_);
    auto found = states_.find(handle);
    if (found == states_.end()) return E_HANDLE;
    return use(found->second);
  }

  // Forgets the handle; E_HANDLE for one that is not open.
  HRESULT Close(HENUMSTORE handle) {
    std::lock_guard lock(mutex_);
    return states_.erase(handle) == 1 ? S_OK : E_HANDLE;
  }

 private:
  std::mutex mutex_;
  std::map<HENUMSTORE, State> states_;
};

// ---------------------------------------------------------------------------

template <class Session>
class FolderObject final : public IStoreFolder {
 public:
  FolderObject(std::shared_ptr<Session> session, STOREFOLDERID id)
      : session_(std::move(session)), id_(id) {}

  // The server's own folder behind `folder`, or null for any other object.
  // Borrowed: valid while the caller holds `folder`.
  static FolderObject* FromFolder(IStoreFolder* folder) {
    void* found = nullptr;
    if (!folder || FAILED(folder->QueryInterface(Session::kFolderIid, &found)) || !found) {
      return nullptr;
    }
    auto* own = static_cast<FolderObject*>(found);
    own->Release();
    return own;
  }

  STOREFOLDERID id() const { return id_; }
  const Session& session() const { return *session_; }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceFrom(
        {{IID_IUnknown, this}, {IID_IStoreFolder, this}, {Session::kFolderIid, this}}, riid, ppv);
  }
  ULONG AddRef() override { return references_.AddRef(); }
  ULONG Release() override { return references_.Release([this] { delete this; }); }

  HRESULT GetMessageProps(MESSAGEID messageId, DWORD flags, LPMESSAGEPROPS props) override {
    HRESULT checked = CheckMessageProps(props);
    if (FAILED(checked)) return checked;
    return Guard([&]() -> HRESULT {
      MessageInfo info;
      HRESULT hr = session_->data().GetMessage(id_, messageId, &info);
      if (FAILED(hr)) return hr;
      ComPtr<IStream> stream;
      if (!(flags & MSGPROPS_FAST)) {
        auto raw = std::make_shared<std::string>();
        if (FAILED(hr = session_->data().ReadMessageText(id_, messageId, raw.get()))) return hr;
        if (FAILED(hr = MemoryStream::CreateReader(std::move(raw), stream.Put()))) return hr;
      }
      if (FAILED(hr = FillMessageProps(info, props))) return hr;
      props->pStream = stream.Detach();
      return S_OK;
    });
  }

  HRESULT FreeMessageProps(LPMESSAGEPROPS props) override {
    HRESULT hr = CheckMessageProps(props);
    if (SUCCEEDED(hr)) ClearMessageProps(props);
    return hr;
  }

  HRESULT DeleteMessages(LPMESSAGEIDLIST messages, DWORD, IProgressNotify*) override {
    std::vector<MESSAGEID> ids;
    HRESULT hr = CheckMessageList(messages, &ids);
    if (FAILED(hr)) return hr;
    return Guard([&]() { return session_->data().DeleteMessages(id_, ids); });
  }

  HRESULT MarkMessagesAsRead(BOOL read, DWORD, LPMESSAGEIDLIST messages) override {
    std::vector<MESSAGEID> ids;
    HRESULT hr = CheckMessageList(messages, &ids);
    if (FAILED(hr)) return hr;
    return Guard([&]() { return session_->data().MarkMessages(id_, ids, read != FALSE); });
  }

  HRESULT OpenMessage(MESSAGEID messageId, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    bool asText = riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream;
    bool parsed = riid == IID_IMimeMessage || riid == IID_IPersistStreamInit;
    return Guard([&]() -> HRESULT {
      auto raw = std::make_shared<std::string>();
      HRESULT hr = session_->data().ReadMessageText(id_, messageId, raw.get());
      if (FAILED(hr)) return hr;
      if (!asText && !parsed) return E_NOINTERFACE;
      if (asText) return OpenAsStream(std::move(raw), riid, object);
      ComPtr<IClassFactory> mime;
      if (FAILED(hr = session_->MimeFactory(&mime))) return hr;
      return OpenParsed(mime.Get(), std::move(raw), riid, object);
    });
  }

  HRESULT GetFirstMessage(DWORD, DWORD, MESSAGEID firstId, LPMESSAGEPROPS props,
                          LPHENUMSTORE enumeration) override {
    if (!enumeration) return E_POINTER;
    *enumeration = 0;
    HRESULT checked = CheckMessageProps(props);
    if (FAILED(checked)) return checked;
    return Guard([&]() -> HRESULT {
      typename Session::Cursor cursor;
      HRESULT hr =
          session_->OpenCursor(id_, firstId == MESSAGEID_FIRST ? 1 : firstId, &cursor);
      if (FAILED(hr)) return hr;
      if (FAILED(hr = Take(cursor, props)) || hr == S_FALSE) return hr;
      *enumeration = cursors_.Add(std::move(cursor));
      return S_OK;
    });
  }

  HRESULT GetNextMessage(HENUMSTORE enumeration, DWORD, LPMESSAGEPROPS props) override {
    HRESULT checked = CheckMessageProps(props);
    if (FAILED(checked)) return checked;
    return Guard([&]() {
      return cursors_.With(enumeration,
                           [&](typename Session::Cursor& cursor) { return Take(cursor, props); });
    });
  }

  HRESULT GetMessageClose(HENUMSTORE enumeration) override { return cursors_.Close(enumeration); }

  HRESULT CreateStream(HBATCHLOCK batch, DWORD, IStream** stream,
                       LPMESSAGEID messageId) override {
    if (stream) *stream = nullptr;
    if (messageId) *messageId = MESSAGEID_INVALID;
    if (!stream || !messageId) return E_POINTER;
    return Guard([&]() -> HRESULT {
      HRESULT hr = session_->data().FolderExists(id_);
      if (FAILED(hr)) return hr == STG_E_FILENOTFOUND ? STG_E_REVERTED : hr;
      Reservation reservation;
      reservation.storePath = session_->path();
      reservation.folder = id_;
      if (FAILED(hr = session_->Reserve(batch, &reservation))) return hr;
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
    if (!reservation || reservation->storePath != session_->path() ||
        reservation->folder != id_ || reservation->id != messageId) {
      return E_INVALIDARG;
    }
    if (reservation->committed) return E_UNEXPECTED;
    return Guard([&]() -> HRESULT {
      // The store gets a copy: the caller may go on writing to the stream.
      HRESULT hr = session_->CommitStream(batch, id_, msgFlags, own->bytes(), *reservation);
      if (SUCCEEDED(hr)) reservation->committed = true;
      return hr;
    });
  }

 private:
  ~FolderObject() = default;

  // The cursor's message into *props, moving on past it; S_FALSE at the end.
  static HRESULT Take(typename Session::Cursor& cursor, LPMESSAGEPROPS props) {
    const MessageInfo* row = nullptr;
    HRESULT hr = cursor.Peek(&row);
    if (FAILED(hr)) return hr;
    if (!row) return S_FALSE;
    if (FAILED(hr = FillMessageProps(*row, props))) return hr;
    cursor.Advance();
    return S_OK;
  }

  ModuleReference moduleReference_;
  RefCount<> references_;
  const std::shared_ptr<Session> session_;
  const STOREFOLDERID id_;
  HandleTable<typename Session::Cursor> cursors_;
};

// ---------------------------------------------------------------------------

template <class Session>
class NamespaceObject final : public IStoreNamespace, public IStoreImport {
 public:
  // A new, uninitialised namespace; its `riid` interface in *ppv (caller
  // owns; null on failure).
  static HRESULT Create(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    auto* created = new (std::nothrow) NamespaceObject();
    if (!created) return E_OUTOFMEMORY;
    HRESULT hr = created->QueryInterface(riid, ppv);
    created->Release();
    return hr;
  }

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
      HRESULT hr = ReadRootPath(&root);
      if (FAILED(hr)) return hr;
      return Session::Open(root, &session_);
    });
  }

  HRESULT OpenFolder(STOREFOLDERID folderId, DWORD, IStoreFolder** folder) override {
    if (!folder) return E_POINTER;
    *folder = nullptr;
    return WithSession([&](const std::shared_ptr<Session>& session) -> HRESULT {
      HRESULT hr = session->data().FolderExists(folderId);
      if (FAILED(hr)) return hr;
      *folder = new Folder(session, folderId);
      return S_OK;
    });
  }

  HRESULT CreateFolder(STOREFOLDERID parentId, LPCSTR name, DWORD,
                       LPSTOREFOLDERID newId) override {
    if (newId) *newId = FOLDERID_INVALID;
    if (!name) return E_POINTER;
    return WithSession([&](const std::shared_ptr<Session>& session) {
      STOREFOLDERID id = FOLDERID_INVALID;
      HRESULT hr = session->data().CreateFolder(parentId, name, &id);
      if (SUCCEEDED(hr) && newId) *newId = id;
      return hr;
    });
  }

  HRESULT RenameFolder(STOREFOLDERID folderId, DWORD, LPCSTR name) override {
    if (!name) return E_POINTER;
    return WithSession([&](const std::shared_ptr<Session>& session) {
      return session->data().RenameFolder(folderId, name);
    });
  }

  HRESULT DeleteFolder(STOREFOLDERID folderId, DWORD) override {
    return WithSession([&](const std::shared_ptr<Session>& session) {
      return session->data().DeleteFolder(folderId);
    });
  }

  HRESULT CopyMoveMessages(IStoreFolder* source, IStoreFolder* destination,
                           LPMESSAGEIDLIST messages, DWORD flags, DWORD flagsToRemove,
                           IProgressNotify*) override {
    if (!source || !destination) return E_POINTER;
    std::vector<MESSAGEID> ids;
    HRESULT hr = CheckMessageList(messages, &ids);
    if (FAILED(hr)) return hr;
    return WithSession([&](const std::shared_ptr<Session>& session) -> HRESULT {
      Folder* from = Folder::FromFolder(source);
      Folder* to = Folder::FromFolder(destination);
      // Both folders must be the server's own, of this very store.
      if (!from || !to || !session->SameStore(from->session()) ||
          !session->SameStore(to->session())) {
        return E_INVALIDARG;
      }
      return session->data().CopyMoveMessages(from->id(), to->id(), ids,
                                              (flags & CMF_MOVE) != 0, flagsToRemove);
    });
  }

  HRESULT GetFirstSubFolder(STOREFOLDERID parentId, LPFOLDERPROPS props,
                            LPHENUMSTORE enumeration) override {
    if (!enumeration) return E_POINTER;
    *enumeration = 0;
    HRESULT checked = CheckFolderProps(props);
    if (FAILED(checked)) return checked;
    return WithSession([&](const std::shared_ptr<Session>& session) -> HRESULT {
      SubFolders state;
      HRESULT hr = session->data().ListSubFolders(parentId, &state.folders);
      if (FAILED(hr)) return hr;
      if (state.folders.empty()) return S_FALSE;
      FillFolderProps(state.folders.front(), props);
      state.next = 1;
      *enumeration = subFolders_.Add(std::move(state));
      return S_OK;
    });
  }

  HRESULT GetNextSubFolder(HENUMSTORE enumeration, LPFOLDERPROPS props) override {
    HRESULT checked = CheckFolderProps(props);
    if (FAILED(checked)) return checked;
    return subFolders_.With(enumeration, [&](SubFolders& state) -> HRESULT {
      if (state.next >= state.folders.size()) return S_FALSE;
      FillFolderProps(state.folders[state.next++], props);
      return S_OK;
    });
  }

  HRESULT GetSubFolderClose(HENUMSTORE enumeration) override {
    return subFolders_.Close(enumeration);
  }

  // --- IStoreImport

  HRESULT BeginBatch(HBATCHLOCK* batch) override {
    if (!batch) return E_POINTER;
    *batch = 0;
    return WithSession(
        [&](const std::shared_ptr<Session>& session) { return session->BeginBatch(batch); });
  }

  HRESULT CommitBatch(HBATCHLOCK batch) override {
    return WithSession(
        [&](const std::shared_ptr<Session>& session) { return session->CommitBatch(batch); });
  }

  HRESULT AbortBatch(HBATCHLOCK batch) override {
    return WithSession(
        [&](const std::shared_ptr<Session>& session) { return session->AbortBatch(batch); });
  }

  HRESULT ImportMessage(HBATCHLOCK batch, STOREFOLDERID folderId, const BYTE* data, ULONG cb,
                        const FILETIME* received, DWORD msgFlags,
                        LPMESSAGEID messageId) override {
    if (messageId) *messageId = MESSAGEID_INVALID;
    if (!data && cb > 0) return E_POINTER;
    std::optional<uint64_t> receivedTicks;
    if (received) receivedTicks = vorn_rt::TicksOf(*received);
    if (receivedTicks && *receivedTicks >= (uint64_t{1} << 63)) return E_INVALIDARG;
    return WithSession([&](const std::shared_ptr<Session>& session) {
      std::string raw(reinterpret_cast<const char*>(data), cb);
      return session->ImportMessage(batch, folderId, std::move(raw), receivedTicks, msgFlags,
                                    messageId);
    });
  }

  HRESULT FindMessageByDigest(const BYTE* digest, ULONG cbDigest, LPSTOREFOLDERID folderId,
                              LPMESSAGEID messageId) override {
    if (folderId) *folderId = FOLDERID_INVALID;
    if (messageId) *messageId = MESSAGEID_INVALID;
    if (!digest || !folderId || !messageId) return E_POINTER;
    if (cbDigest != CB_MESSAGE_DIGEST) return E_INVALIDARG;
    return WithSession([&](const std::shared_ptr<Session>& session) {
      Digest wanted;
      std::memcpy(wanted.data(), digest, wanted.size());
      return session->FindByDigest(wanted, folderId, messageId);
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
  using Folder = FolderObject<Session>;
  struct SubFolders {
    std::vector<FolderInfo> folders;
    size_t next = 0;
  };

  NamespaceObject() = default;
  ~NamespaceObject() = default;

  // Runs a call that needs an initialised namespace.
  template <class Body>
  HRESULT WithSession(Body&& body) {
    return Guard([&]() -> HRESULT {
      std::shared_ptr<Session> session;
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
  std::shared_ptr<Session> session_;
  HandleTable<SubFolders> subFolders_;
};

}  // namespace vorn_store
