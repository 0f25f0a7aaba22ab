#include "services/store/store_objects.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/mime.h"
#include "platform/runtime.h"
#include "platform/store.h"
#include "runtime/com_ptr.h"
#include "runtime/text.h"
#include "services/store/digest.h"
#include "services/store/header_fields.h"
#include "services/store/memory_stream.h"
#include "services/store/store_db.h"
#include "services/store/store_object_kit.h"

namespace vorn_store {
namespace {

constexpr const char* kStoreFolder = "/store";
constexpr const char* kStoreFile = "/store/store.db";

// Messages fetched from the database per query while enumerating a folder:
// a first chunk small enough for a small folder, then twice as many each
// time up to the largest, so that a large folder costs few transactions.
constexpr size_t kFirstEnumerationChunk = 256;
constexpr size_t kLargestEnumerationChunk = 1024;

// A folder's messages, fetched from the database a chunk at a time.
class ChunkedCursor {
 public:
  // Starts before the folder's first message from `from` on. `db` must
  // outlive the cursor: the folder that holds the cursor keeps it open.
  void Start(StoreDatabase* db, STOREFOLDERID folder, MESSAGEID from) {
    db_ = db;
    folder_ = folder;
    next_ = from;
    removals_ = db->removal_count();
  }

  // The next message, or null at the end (borrowed until the next call).
  // STG_E_REVERTED once the folder has been deleted.
  HRESULT Peek(const MessageInfo** row) {
    *row = nullptr;
    HRESULT hr;
    uint64_t removals = db_->removal_count();
    if (removals != removals_) {
      removals_ = removals;
      if (FAILED(hr = db_->FolderExists(folder_))) {
        return hr == STG_E_FILENOTFOUND ? STG_E_REVERTED : hr;
      }
    }
    if (taken_ == rows_.size() && FAILED(hr = Refill())) return hr;
    if (taken_ < rows_.size()) *row = &rows_[taken_];
    return S_OK;
  }
  void Advance() { ++taken_; }

 private:
  // Fetches the next chunk into rows_, reusing its storage.
  HRESULT Refill() {
    taken_ = 0;
    if (exhausted_) {
      rows_.clear();
      return S_OK;
    }
    HRESULT hr = db_->ListMessages(folder_, next_, chunk_, &rows_);
    if (FAILED(hr)) {
      rows_.clear();  // a part of a chunk is not handed out
      return hr;
    }
    if (rows_.size() < chunk_ || rows_.back().id >= 0xFFFFFFFEu) {
      exhausted_ = true;
    } else {
      next_ = rows_.back().id + 1;
      chunk_ = std::min(chunk_ * 2, kLargestEnumerationChunk);
    }
    return S_OK;
  }

  StoreDatabase* db_ = nullptr;
  STOREFOLDERID folder_ = 0;
  MESSAGEID next_ = 1;              // the lowest identifier not fetched yet
  std::vector<MessageInfo> rows_;   // fetched; those from taken_ on not handed out yet
  size_t taken_ = 0;
  size_t chunk_ = kFirstEnumerationChunk;  // rows the next refill asks for
  bool exhausted_ = false;
  uint64_t removals_ = 0;
};

// What a namespace and its folders share: the database and the MIME
// library's message class. It lives as long as any of them, so that a folder
// keeps the store open after the namespace has been released.
class StoreSession {
 public:
  // Answered only by the server's own folder objects, so that
  // CopyMoveMessages can tell them from others. Not a public interface.
  static constexpr IID kFolderIid = MakeGuid("{A2FD4B60-A388-4E18-A1AD-483ABDECE25D}");

  using Cursor = ChunkedCursor;

  static HRESULT Open(const std::string& root, std::shared_ptr<StoreSession>* out) {
    std::string folder = root + kStoreFolder;
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return StatusFromErrno(errno);
    auto session = std::make_shared<StoreSession>();
    HRESULT hr = StoreDatabase::Open(root + kStoreFile, &session->db_);
    if (FAILED(hr)) return hr;
    *out = std::move(session);
    return S_OK;
  }

  StoreDatabase& data() { return *db_; }
  const std::string& path() const { return db_->path(); }
  // Two namespaces over the same file are one store.
  bool SameStore(const StoreSession& other) const { return other.path() == path(); }

  // The MIME library's class object for messages, found once per session
  // (caller owns a reference).
  HRESULT MimeFactory(ComPtr<IClassFactory>* factory) {
    std::lock_guard lock(mimeMutex_);
    if (!mimeFactory_) {
      HRESULT hr = CoGetClassObject(CLSID_VornMimeMessage, CLSCTX_INPROC_SERVER, nullptr,
                                    IID_IClassFactory, mimeFactory_.PutVoid());
      if (FAILED(hr)) return hr;
      if (!mimeFactory_) return E_UNEXPECTED;
    }
    *factory = mimeFactory_;
    return S_OK;
  }

  HRESULT OpenCursor(STOREFOLDERID folder, MESSAGEID from, Cursor* cursor) {
    cursor->Start(db_.get(), folder, from);
    return S_OK;
  }

  HRESULT Reserve(HBATCHLOCK batch, Reservation* reservation) {
    return db_->ReserveMessageId(batch, &reservation->id, &reservation->batch);
  }

  HRESULT CommitStream(HBATCHLOCK batch, STOREFOLDERID folder, DWORD flags, std::string raw,
                       const Reservation& reservation) {
    return Store(batch, folder, std::make_shared<const std::string>(std::move(raw)),
                 vorn_rt::NowTicks(), flags, reservation.id, reservation.batch.get(), nullptr);
  }

  HRESULT BeginBatch(HBATCHLOCK* batch) { return db_->BeginBatch(batch); }
  HRESULT CommitBatch(HBATCHLOCK batch) { return db_->CommitBatch(batch); }
  HRESULT AbortBatch(HBATCHLOCK batch) { return db_->AbortBatch(batch); }

  HRESULT ImportMessage(HBATCHLOCK batch, STOREFOLDERID folder, std::string raw,
                        std::optional<uint64_t> received, DWORD flags, MESSAGEID* id) {
    HRESULT hr = Store(batch, folder, std::make_shared<const std::string>(std::move(raw)),
                       received ? *received : vorn_rt::NowTicks(), flags, 0, nullptr, id);
    // Named by identifier here, a missing folder is an unknown one.
    return hr == STG_E_REVERTED ? STG_E_FILENOTFOUND : hr;
  }

  HRESULT FindByDigest(const Digest& digest, STOREFOLDERID* folder, MESSAGEID* id) {
    return db_->FindByDigest(digest, folder, id);
  }

 private:
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
    HRESULT hr = MimeFactory(&factory);
    if (SUCCEEDED(hr)) hr = DeriveHeaderFields(raw, factory.Get(), &message.fields);
    if (FAILED(hr)) return hr;
    return db_->StoreMessage(batch, folder, reserved, under, message, id);
  }

  std::shared_ptr<StoreDatabase> db_;
  std::mutex mimeMutex_;
  ComPtr<IClassFactory> mimeFactory_;
};

}  // namespace

HRESULT CreateStoreNamespace(REFIID riid, void** ppv) {
  return NamespaceObject<StoreSession>::Create(riid, ppv);
}

}  // namespace vorn_store
