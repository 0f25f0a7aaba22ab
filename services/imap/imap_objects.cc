#include "services/imap/imap_objects.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/store.h"
#include "runtime/com_ptr.h"
#include "services/imap/imap_store.h"
#include "services/store/digest.h"
#include "services/store/memory_stream.h"
#include "services/store/store_db.h"
#include "services/store/store_object_kit.h"

namespace vorn_imap {
namespace {

using vorn_store::Digest;
using vorn_store::MessageInfo;
using vorn_store::Reservation;

// Messages read from the cache at a time while a folder is enumerated.
constexpr size_t kMessagesPerPage = 512;

// A folder's messages: the first page read when the enumeration starts,
// after the cache was brought up to date with the server; the later pages
// from the cache as they are reached.
struct PagedCursor {
  std::shared_ptr<Store> store;
  STOREFOLDERID folder = 0;
  std::vector<MessageInfo> rows;
  size_t next = 0;

  HRESULT Peek(const MessageInfo** row) {
    *row = nullptr;
    if (next == rows.size()) {
      if (rows.size() < kMessagesPerPage) return S_OK;  // the last page
      MESSAGEID after = rows.back().id + 1;
      next = 0;
      HRESULT hr = store->ListMoreMessages(folder, after, kMessagesPerPage, &rows);
      if (FAILED(hr)) {
        rows.clear();
        return hr;
      }
    }
    if (next < rows.size()) *row = &rows[next];
    return S_OK;
  }
  void Advance() { ++next; }
};

// What a namespace and its folders share: the account's store. The
// namespace's import batch is kept here as well: its messages are appended,
// pipelined, when it is committed; aborting it sends nothing.
class ImapSession {
 public:
  // Answered only by this server's folder objects. Not a public interface.
  static constexpr IID kFolderIid = MakeGuid("{6B0F3C1E-5D2A-4E8B-9C41-2F7A8D3E9B10}");

  using Cursor = PagedCursor;

  static HRESULT Open(const std::string& root, std::shared_ptr<ImapSession>* out) {
    auto session = std::make_shared<ImapSession>();
    HRESULT hr = Store::Open(root, &session->store_);
    if (FAILED(hr)) return hr;
    *out = std::move(session);
    return S_OK;
  }

  Store& data() { return *store_; }
  const std::string& path() const { return store_->cache_path(); }
  // Each namespace has a connection of its own: folders of another one are
  // not this store's.
  bool SameStore(const ImapSession& other) const { return &other == this; }
  HRESULT MimeFactory(ComPtr<IClassFactory>* factory) { return store_->MimeFactory(factory); }

  HRESULT OpenCursor(STOREFOLDERID folder, MESSAGEID from, Cursor* cursor) {
    cursor->store = store_;
    cursor->folder = folder;
    return store_->ListMessages(folder, from, kMessagesPerPage, &cursor->rows);
  }

  HRESULT Reserve(HBATCHLOCK, Reservation* reservation) {
    return store_->ReserveMessageId(&reservation->id);
  }

  HRESULT CommitStream(HBATCHLOCK, STOREFOLDERID folder, DWORD flags, std::string raw,
                       const Reservation& reservation) {
    NewMail mail;
    mail.raw = std::move(raw);
    mail.seen = (flags & MSGFLAG_READ) != 0;
    mail.reserved = reservation.id;
    return store_->Append(folder, {mail}, nullptr);
  }

  HRESULT BeginBatch(HBATCHLOCK* batch) {
    std::lock_guard lock(mutex_);
    if (batch_ != 0) return E_UNEXPECTED;
    batch_ = vorn_store::NewHandle();
    *batch = batch_;
    return S_OK;
  }

  HRESULT CommitBatch(HBATCHLOCK batch) {
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
      HRESULT hr = store_->Append(folder, byFolder[folder], nullptr);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }

  HRESULT AbortBatch(HBATCHLOCK batch) {
    std::lock_guard lock(mutex_);
    if (batch == 0 || batch != batch_) return E_HANDLE;
    pending_.clear();
    batch_ = 0;
    return S_OK;
  }

  HRESULT ImportMessage(HBATCHLOCK batch, STOREFOLDERID folderId, std::string raw,
                        std::optional<uint64_t> received, DWORD msgFlags, MESSAGEID* messageId) {
    {
      std::lock_guard lock(mutex_);
      if (batch != 0 && batch != batch_) return E_HANDLE;
    }
    HRESULT hr = store_->FolderExists(folderId);
    if (FAILED(hr)) return hr;
    NewMail mail;
    mail.raw = std::move(raw);
    mail.seen = (msgFlags & MSGFLAG_READ) != 0;
    mail.received = received.value_or(0);
    if (FAILED(hr = store_->ReserveMessageId(&mail.reserved))) return hr;
    MESSAGEID id = mail.reserved;
    std::unique_lock lock(mutex_);
    if (batch_ != 0) {
      Digest digest = vorn_store::ComputeDigest(mail.raw.data(), mail.raw.size());
      pending_.push_back(Pending{folderId, std::move(mail), digest});
    } else {
      lock.unlock();
      if (FAILED(hr = store_->Append(folderId, {mail}, nullptr))) return hr;
    }
    if (messageId) *messageId = id;
    return S_OK;
  }

  HRESULT FindByDigest(const Digest& wanted, STOREFOLDERID* folderId, MESSAGEID* messageId) {
    HRESULT hr = store_->FindByDigest(wanted, folderId, messageId);
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
  }

 private:
  struct Pending {
    STOREFOLDERID folder;
    NewMail mail;
    Digest digest;
  };

  std::shared_ptr<Store> store_;
  std::mutex mutex_;
  HBATCHLOCK batch_ = 0;
  std::vector<Pending> pending_;
};

}  // namespace

HRESULT CreateImapNamespace(REFIID riid, void** ppv) {
  return vorn_store::NamespaceObject<ImapSession>::Create(riid, ppv);
}

}  // namespace vorn_imap
