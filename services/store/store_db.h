// The mail store's data: folders, cached header fields and raw messages in
// one SQLite database, and every change made to them as one transaction.
//
// Tables:
//   counters(name, next)      the next folder and message identifiers
//   folders(id, parent, name, name_key, special, depth)  name_key unique per parent
//   messages(id, folder, flags, size, priority, language, received, sent,
//            subject, normal_subject, display_from, display_to, digest)
//   message_text(id, raw)     the raw messages, read only to open one
// Listing a folder reads `messages` through its (folder, id) index and never
// touches `message_text`.
//
// The layouts of the file, and the step from the first to the current one,
// are in schema.h.
//
// Every method is safe to call from several threads; they take turns on one
// connection. Several processes share a store through SQLite's locking.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/store.h"
#include "services/store/digest.h"
#include "services/store/header_fields.h"
#include "services/store/schema.h"
#include "services/store/sqlite_db.h"

namespace vorn_store {

// A handle for an enumeration or a batch: unique within the process, never 0.
ULONG_PTR NewHandle();

struct FolderInfo {
  STOREFOLDERID id = 0;
  std::string name;
  SPECIALFOLDER special = FOLDER_NOTSPECIAL;
  INT subFolders = 0;
  DWORD unread = 0;
  DWORD messages = 0;
};

struct MessageInfo {
  MESSAGEID id = 0;
  DWORD flags = 0;
  DWORD size = 0;
  IMSGPRIORITY priority = IMSG_PRI_NORMAL;
  DWORD language = 0;
  uint64_t received = 0;  // FILETIME ticks
  uint64_t sent = 0;
  std::string subject;
  std::string normalSubject;
  std::string displayFrom;
  std::string displayTo;
};

// A message about to be stored: its bytes and what was read from them.
struct NewMessage {
  std::string_view raw;
  HeaderFields fields;
  Digest digest{};
  uint64_t received = 0;
  DWORD flags = 0;  // MSGFLAG_READ and any bits of the caller's; the attachment bit is set here
};

// The batch under which a message identifier was reserved. Undone when the
// batch is rolled back, which makes the reservation worthless.
struct BatchState {
  std::atomic<bool> undone{false};
};

// The largest message the store keeps, in bytes.
constexpr size_t kMaxMessageSize = 1000000000;

class StoreDatabase {
 public:
  // Opens the store at `path`, creating the file and a new store's special
  // folders when missing. A store file that cannot be written is opened for
  // reading only (see Connection::Open): every change then fails with
  // STG_E_ACCESSDENIED. A store of the first layout is upgraded first when
  // it can be written (see UpgradeFromVersion1; `mimeMessageClass` as
  // there), and read as it is when it cannot; renamed() then lists the
  // folders the upgrade renamed, and the thread's failure reason names them.
  // STG_E_DOCFILECORRUPT for a damaged file; STORE_E_NEWERVERSION for a
  // store of a later layout, in which nothing is written. A failure the user
  // must act on also sets the thread's failure reason.
  static HRESULT Open(const std::string& path, std::shared_ptr<StoreDatabase>* out,
                      IClassFactory* mimeMessageClass = nullptr);
  StoreDatabase(const StoreDatabase&) = delete;
  StoreDatabase& operator=(const StoreDatabase&) = delete;

  const std::string& path() const { return path_; }
  // The folders renamed by the upgrade when this open upgraded the store.
  const std::vector<RenamedFolder>& renamed() const { return renamed_; }

  // --- Folders. An unknown folder (0 and 0xFFFFFFFF included where a real
  // folder is needed) gives STG_E_FILENOTFOUND.

  // S_OK when `id` names a folder (not the root).
  HRESULT FolderExists(STOREFOLDERID id);
  // The direct subfolders of `parent` (0: the root) in enumeration order:
  // special folders by kind, then the others by name whatever the case.
  HRESULT ListSubFolders(STOREFOLDERID parent, std::vector<FolderInfo>* out);
  HRESULT CreateFolder(STOREFOLDERID parent, std::string_view name, STOREFOLDERID* id);
  HRESULT RenameFolder(STOREFOLDERID id, std::string_view name);
  // Removes a folder without subfolders, with its messages.
  HRESULT DeleteFolder(STOREFOLDERID id);
  // Changes whenever this connection removes a folder, so that objects of
  // a folder can tell when to check that theirs is still there.
  uint64_t removal_count() const { return removals_.load(); }

  // --- Messages. Every call names the folder that holds them: a folder
  // that no longer exists gives STG_E_REVERTED, a message that the folder
  // does not hold STG_E_FILENOTFOUND.

  // Up to `limit` messages of `folder` with identifiers from `from` on, in
  // identifier order.
  HRESULT ListMessages(STOREFOLDERID folder, MESSAGEID from, size_t limit,
                       std::vector<MessageInfo>* out);
  HRESULT GetMessage(STOREFOLDERID folder, MESSAGEID id, MessageInfo* out);
  HRESULT ReadMessageText(STOREFOLDERID folder, MESSAGEID id, std::string* raw);
  // Reserves a new message identifier for a later StoreMessage. *batch is
  // the open batch it was reserved under (null outside a batch).
  HRESULT ReserveMessageId(HBATCHLOCK batch, MESSAGEID* id, std::shared_ptr<BatchState>* state);
  // Stores a message under the identifier reserved with `reservedUnder`
  // (`reserved` non-zero) or a new one (`reserved` 0); *id receives it.
  HRESULT StoreMessage(HBATCHLOCK batch, STOREFOLDERID folder, MESSAGEID reserved,
                       const BatchState* reservedUnder, const NewMessage& message, MESSAGEID* id);
  // Copies (new identifiers, flags less `flagsToRemove`, the attachment bit
  // kept) or moves (same identifiers) messages of `source` to `destination`.
  // All or nothing.
  HRESULT CopyMoveMessages(STOREFOLDERID source, STOREFOLDERID destination,
                           const std::vector<MESSAGEID>& ids, bool move, DWORD flagsToRemove);
  HRESULT DeleteMessages(STOREFOLDERID folder, const std::vector<MESSAGEID>& ids);
  HRESULT MarkMessages(STOREFOLDERID folder, const std::vector<MESSAGEID>& ids, bool read);
  // S_OK with the lowest message whose digest matches; S_FALSE when none.
  HRESULT FindByDigest(const Digest& digest, STOREFOLDERID* folder, MESSAGEID* id);

  // --- Batches: one open at a time. Every change made while one is open
  // belongs to it. `batch` arguments are 0 or the open batch (E_HANDLE).
  HRESULT BeginBatch(HBATCHLOCK* batch);
  HRESULT CommitBatch(HBATCHLOCK batch);
  HRESULT AbortBatch(HBATCHLOCK batch);

 private:
  StoreDatabase(std::string path, std::unique_ptr<Connection> connection);
  // Creates a new store's tables, or upgrades a store of the first layout.
  HRESULT CreateSchema(IClassFactory* mimeMessageClass);
  // Runs `change` as one write transaction (a savepoint inside an open
  // batch); `batch` as for the public calls. Caller holds mutex_.
  template <class Change>
  HRESULT RunChange(HBATCHLOCK batch, Change&& change);
  // After a change inside a batch that gave `result`: notes when SQLite has
  // undone the batch, and undoes it when the storage refused the change.
  void CheckBatchHealth(HRESULT result);
  // Ends the open batch after a rollback: marks it undone and moves the
  // identifier counters past every identifier it handed out.
  void CloseUndoneBatch();
  // Rolls back the open batch's transaction, if any, and closes it as undone.
  void UndoBatch();
  // No batch is open any more.
  void ForgetBatch();
  HRESULT AllocateId(const char* counter, uint32_t* id);
  HRESULT RequireFolder(STOREFOLDERID folder, HRESULT missing);
  // ListMessages' work: reads rows over (*out)[0 ...], counting them in *count.
  HRESULT ReadMessages(STOREFOLDERID folder, MESSAGEID from, size_t limit,
                       std::vector<MessageInfo>* out, size_t* count);

  const std::string path_;
  std::mutex mutex_;
  std::unique_ptr<Connection> connection_;
  std::atomic<uint64_t> removals_{0};
  std::vector<RenamedFolder> renamed_;
  // Set while the open upgrades the store, with why it failed.
  bool upgrading_ = false;
  std::string upgradeFailure_;
  // The open batch: its handle (0: none), its state, and the failure that
  // undid it (S_OK while it is sound).
  HBATCHLOCK batch_ = 0;
  std::shared_ptr<BatchState> batchState_;
  HRESULT batchFailure_ = S_OK;
  // The highest identifiers handed out, so that an undone batch's are
  // never handed out again.
  uint32_t highestFolderId_ = 0;
  uint32_t highestMessageId_ = 0;
};

}  // namespace vorn_store
