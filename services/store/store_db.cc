#include "services/store/store_db.h"

#include <algorithm>
#include <cstdio>
#include <tuple>

#include "platform/failure_reason.h"
#include "services/store/folder_names.h"
#include "services/store/schema.h"

namespace vorn_store {
namespace {

constexpr uint32_t kLastId = 0xFFFFFFFEu;  // 0 and 0xFFFFFFFF are never identifiers


constexpr const char* kSchema = R"sql(
CREATE TABLE counters(
  name TEXT PRIMARY KEY,
  next INTEGER NOT NULL
) WITHOUT ROWID;
CREATE TABLE messages(
  id INTEGER PRIMARY KEY,
  folder INTEGER NOT NULL,
  flags INTEGER NOT NULL,
  size INTEGER NOT NULL,
  priority INTEGER NOT NULL,
  language INTEGER NOT NULL,
  received INTEGER NOT NULL,
  sent INTEGER NOT NULL,
  subject TEXT NOT NULL,
  normal_subject TEXT NOT NULL,
  display_from TEXT NOT NULL,
  display_to TEXT NOT NULL,
  digest BLOB NOT NULL
);
CREATE INDEX messages_folder ON messages(folder, id);
CREATE INDEX messages_unread ON messages(folder) WHERE (flags & 1) = 0;
CREATE INDEX messages_digest ON messages(digest);
CREATE TABLE message_text(
  id INTEGER PRIMARY KEY,
  raw BLOB NOT NULL
);
INSERT INTO counters(name, next) VALUES('folder', 1), ('message', 1);
)sql";
// The folders table (kFoldersSchema) comes with these.

struct SpecialFolder {
  SPECIALFOLDER kind;
  const char* name;
};
constexpr SpecialFolder kSpecialFolders[] = {
    {FOLDER_INBOX, "Inbox"},          {FOLDER_OUTBOX, "Outbox"}, {FOLDER_SENT, "Sent Items"},
    {FOLDER_DELETED, "Deleted Items"}, {FOLDER_DRAFT, "Drafts"},
};

constexpr const char* kMessageColumns =
    "id, flags, size, priority, language, received, sent, subject, normal_subject, "
    "display_from, display_to";

void ReadMessageRow(const Statement& row, MessageInfo* info) {
  info->id = static_cast<MESSAGEID>(row.Int(0));
  info->flags = static_cast<DWORD>(row.Int(1));
  info->size = static_cast<DWORD>(row.Int(2));
  info->priority = static_cast<IMSGPRIORITY>(row.Int(3));
  info->language = static_cast<DWORD>(row.Int(4));
  info->received = static_cast<uint64_t>(row.Int(5));
  info->sent = static_cast<uint64_t>(row.Int(6));
  // Assigned in place: a row read over an earlier one reuses its storage.
  info->subject.assign(row.Bytes(7));
  info->normalSubject.assign(row.Bytes(8));
  info->displayFrom.assign(row.Bytes(9));
  info->displayTo.assign(row.Bytes(10));
}

bool IsRealId(uint32_t id) { return id != 0 && id != 0xFFFFFFFFu; }

}  // namespace

ULONG_PTR NewHandle() {
  static std::atomic<ULONG_PTR> next{1};
  return next.fetch_add(1);
}

StoreDatabase::StoreDatabase(std::string path, std::unique_ptr<Connection> connection)
    : path_(std::move(path)), connection_(std::move(connection)) {}

HRESULT StoreDatabase::Open(const std::string& path, std::shared_ptr<StoreDatabase>* out,
                            IClassFactory* mimeMessageClass) {
  out->reset();
  std::unique_ptr<Connection> connection;
  HRESULT hr = Connection::Open(path, &connection);
  std::shared_ptr<StoreDatabase> db;
  if (SUCCEEDED(hr)) {
    db.reset(new StoreDatabase(path, std::move(connection)));
    hr = db->CreateSchema(mimeMessageClass);
  }
  if (FAILED(hr)) {
    // What the person running the program can act on.
    std::string reason;
    if (hr == STORE_E_NEWERVERSION) {
      reason = "the mail store " + path + " was made by a newer version of this program";
    } else if (db && db->upgrading_) {
      reason = "the mail store " + path +
               " was made by an earlier version of this program and could not be upgraded: " +
               db->upgradeFailure_;
    } else if (hr == STG_E_DOCFILECORRUPT) {
      reason = "the mail store file " + path + " is damaged";
    } else if (hr == STG_E_ACCESSDENIED) {
      reason = "the mail store " + path +
               " cannot be opened: it may not be written, and it is new or was not closed "
               "cleanly";
    } else if (hr == STG_E_LOCKVIOLATION) {
      reason = "the mail store " + path + " is kept busy by another program";
    }
    if (!reason.empty()) VornSetFailureReason(reason.c_str());
    return hr;
  }
  if (!db->renamed_.empty()) {
    // Said once: the upgrade that renamed them happens once.
    std::string note = "the mail store " + path +
                       " was upgraded; folders whose names clashed with a sibling's were renamed:";
    for (size_t i = 0; i < db->renamed_.size(); ++i) {
      note += (i ? ", \"" : " \"") + db->renamed_[i].from + "\" to \"" + db->renamed_[i].to + "\"";
    }
    VornSetFailureReason(note.c_str());
  }
  *out = std::move(db);
  return S_OK;
}

HRESULT StoreDatabase::CreateSchema(IClassFactory* mimeMessageClass) {
  int current = 0;
  HRESULT hr = ReadSchemaVersion(*connection_, &current);
  if (FAILED(hr)) return hr;
  if (current == 0 && connection_->read_only()) return STG_E_ACCESSDENIED;
  if (current == 0) {
    // Another process may be creating the same store: decide again under
    // the write lock.
    Transaction tx(*connection_, Transaction::Kind::kWrite);
    if (FAILED(hr = tx.status())) return hr;
    if (FAILED(hr = ReadSchemaVersion(*connection_, &current))) return hr;
    if (current == 0) {
      if (FAILED(hr = connection_->Exec(kSchema)) ||
          FAILED(hr = connection_->Exec(kFoldersSchema))) {
        return hr;
      }
      for (const SpecialFolder& special : kSpecialFolders) {
        uint32_t id = 0;
        if (FAILED(hr = AllocateId("folder", &id))) return hr;
        Statement insert(*connection_,
                         "INSERT INTO folders(id, parent, name, name_key, special, depth) "
                         "VALUES(?1, 0, ?2, ?3, ?4, 1)");
        // Bound text is not copied: the key must outlive the statement's run.
        const std::string key = FolderNameKey(special.name);
        insert.Bind(1, id);
        insert.Bind(2, special.name);
        insert.Bind(3, key);
        insert.Bind(4, special.kind);
        if (FAILED(hr = insert.Run())) return hr;
      }
      if (FAILED(hr = connection_->Exec("PRAGMA user_version=2"))) return hr;
      current = kSchemaVersion;
    }
    if (FAILED(hr = tx.Commit())) return hr;
  }
  if (current == 1) {
    // A store that cannot be written is read as it is: the queries need
    // nothing of the second layout, and every change is refused anyway.
    if (connection_->read_only()) return S_OK;
    // The reason of a failure inside the upgrade (a MIME library that is not
    // registered) is kept for the reason of the whole; a thread's earlier
    // reason comes back when the upgrade succeeds.
    char earlier[VORN_MAX_FAILURE_REASON + 1] = {};
    if (VornGetFailureReason(earlier, sizeof earlier) >= sizeof earlier) earlier[0] = '\0';
    VornSetFailureReason(nullptr);
    upgrading_ = true;
    hr = UpgradeFromVersion1(*connection_, mimeMessageClass, &renamed_);
    if (FAILED(hr)) {
      char inner[VORN_MAX_FAILURE_REASON + 1] = {};
      const DWORD length = VornGetFailureReason(inner, sizeof inner);
      char status[32];
      std::snprintf(status, sizeof status, "status 0x%08X", static_cast<unsigned>(hr));
      upgradeFailure_ = length > 0 && length < sizeof inner ? inner : status;
      return hr;
    }
    upgrading_ = false;
    VornSetFailureReason(earlier);
    // Committed: the store is of this layout now. Reading the version again
    // could fail and report an upgrade that has happened as one that has not.
    current = kSchemaVersion;
  }
  // A store written by a later version of this server is left alone.
  return current == kSchemaVersion ? S_OK : STORE_E_NEWERVERSION;
}

template <class Change>
HRESULT StoreDatabase::RunChange(HBATCHLOCK batch, Change&& change) {
  if (batch != 0 && batch != batch_) return E_HANDLE;
  if (connection_->read_only()) return STG_E_ACCESSDENIED;
  if (batch_ != 0 && FAILED(batchFailure_)) return batchFailure_;
  HRESULT hr;
  {
    Transaction tx(*connection_, Transaction::Kind::kWrite);
    hr = tx.status();
    if (SUCCEEDED(hr)) hr = change();
    if (SUCCEEDED(hr)) hr = tx.Commit();
  }
  if (batch_ != 0) CheckBatchHealth(hr);
  return hr;
}

void StoreDatabase::CheckBatchHealth(HRESULT result) {
  if (batch_ == 0 || FAILED(batchFailure_)) return;
  if (connection_->InTransaction()) {
    // SQLite undoes only the failed statement when the file refuses a
    // write (a read-only file, some I/O errors); the batch must not go on
    // to commit as if that change had never been asked for.
    const bool storageFailed = result == STG_E_ACCESSDENIED || result == STG_E_MEDIUMFULL ||
                               result == STG_E_WRITEFAULT || result == STG_E_READFAULT ||
                               result == STG_E_DOCFILECORRUPT;
    if (!storageFailed) return;
    connection_->Exec("ROLLBACK");
    batchFailure_ = result;
  } else {
    HRESULT cause = connection_->last_failure();
    batchFailure_ = FAILED(cause) ? cause : E_FAIL;
  }
  CloseUndoneBatch();
}

void StoreDatabase::CloseUndoneBatch() {
  if (batchState_) batchState_->undone = true;
  if (connection_->InTransaction()) return;
  // Best effort: a failure here only means those identifiers may be issued
  // again, which names nothing that was ever stored.
  for (auto [name, highest] : {std::pair<const char*, uint32_t>("folder", highestFolderId_),
                               std::pair<const char*, uint32_t>("message", highestMessageId_)}) {
    Statement bump(*connection_, "UPDATE counters SET next = max(next, ?2) WHERE name = ?1");
    bump.Bind(1, name);
    bump.Bind(2, int64_t{highest} + 1);
    bump.Run();
  }
}

HRESULT StoreDatabase::AllocateId(const char* counter, uint32_t* id) {
  Statement next(*connection_,
                 "UPDATE counters SET next = next + 1 WHERE name = ?1 AND next <= 4294967294 "
                 "RETURNING next - 1");
  next.Bind(1, counter);
  HRESULT hr = next.Step();
  if (FAILED(hr)) return hr;
  if (hr == S_FALSE) return STG_E_MEDIUMFULL;  // every identifier has been used
  int64_t value = next.Int(0);
  if (value < 1 || value > kLastId) return STG_E_DOCFILECORRUPT;
  *id = static_cast<uint32_t>(value);
  uint32_t& highest = counter[0] == 'f' ? highestFolderId_ : highestMessageId_;
  highest = std::max(highest, *id);
  return S_OK;
}

HRESULT StoreDatabase::RequireFolder(STOREFOLDERID folder, HRESULT missing) {
  if (!IsRealId(folder)) return missing;
  Statement query(*connection_, "SELECT 1 FROM folders WHERE id = ?1");
  query.Bind(1, folder);
  HRESULT hr = query.Step();
  if (FAILED(hr)) return hr;
  return hr == S_OK ? S_OK : missing;
}

HRESULT StoreDatabase::FolderExists(STOREFOLDERID id) {
  std::lock_guard lock(mutex_);
  return RequireFolder(id, STG_E_FILENOTFOUND);
}

HRESULT StoreDatabase::ListSubFolders(STOREFOLDERID parent, std::vector<FolderInfo>* out) {
  out->clear();
  std::lock_guard lock(mutex_);
  Transaction tx(*connection_, Transaction::Kind::kRead);
  HRESULT hr = tx.status();
  if (FAILED(hr)) return hr;
  if (parent != FOLDERID_ROOT && FAILED(hr = RequireFolder(parent, STG_E_FILENOTFOUND))) return hr;

  Statement query(*connection_,
                  "SELECT f.id, f.name, f.special,"
                  " (SELECT COUNT(*) FROM folders c WHERE c.parent = f.id),"
                  " (SELECT COUNT(*) FROM messages m WHERE m.folder = f.id),"
                  " (SELECT COUNT(*) FROM messages m WHERE m.folder = f.id AND (m.flags & 1) = 0)"
                  " FROM folders f WHERE f.parent = ?1");
  query.Bind(1, parent);
  struct Sorted {
    FolderInfo info;
    int64_t rank;
    std::string key;
  };
  std::vector<Sorted> rows;
  while ((hr = query.Step()) == S_OK) {
    Sorted row;
    row.info.id = static_cast<STOREFOLDERID>(query.Int(0));
    row.info.name = query.Text(1);
    row.info.special = static_cast<SPECIALFOLDER>(query.Int(2));
    row.info.subFolders = static_cast<INT>(query.Int(3));
    row.info.messages = static_cast<DWORD>(query.Int(4));
    row.info.unread = static_cast<DWORD>(query.Int(5));
    row.rank = row.info.special == FOLDER_NOTSPECIAL ? INT64_MAX : int64_t{row.info.special};
    row.key = FolderNameKey(row.info.name);
    rows.push_back(std::move(row));
  }
  if (FAILED(hr)) return hr;
  // Special folders first, by kind; then the others by name.
  std::sort(rows.begin(), rows.end(), [](const Sorted& a, const Sorted& b) {
    return std::tie(a.rank, a.key, a.info.name, a.info.id) <
           std::tie(b.rank, b.key, b.info.name, b.info.id);
  });
  out->reserve(rows.size());
  for (Sorted& row : rows) out->push_back(std::move(row.info));
  return tx.Commit();
}

HRESULT StoreDatabase::CreateFolder(STOREFOLDERID parent, std::string_view name,
                                    STOREFOLDERID* id) {
  HRESULT hr = CheckFolderName(name);
  if (FAILED(hr)) return hr;
  const std::string key = FolderNameKey(name);
  std::lock_guard lock(mutex_);
  return RunChange(0, [&]() -> HRESULT {
    int64_t depth = 1;
    if (parent != FOLDERID_ROOT) {
      if (!IsRealId(parent)) return STG_E_FILENOTFOUND;
      Statement query(*connection_, "SELECT depth FROM folders WHERE id = ?1");
      query.Bind(1, parent);
      HRESULT found = query.Step();
      if (FAILED(found)) return found;
      if (found == S_FALSE) return STG_E_FILENOTFOUND;
      depth = query.Int(0) + 1;
    }
    if (depth > STORE_MAX_DEPTH) return STORE_E_TOODEEP;
    uint32_t newId = 0;
    HRESULT status = AllocateId("folder", &newId);
    if (FAILED(status)) return status;
    // The unique index on (parent, name_key) refuses a name a sibling has.
    Statement insert(*connection_,
                     "INSERT INTO folders(id, parent, name, name_key, special, depth) "
                     "VALUES(?1, ?2, ?3, ?4, -1, ?5)");
    insert.Bind(1, newId);
    insert.Bind(2, parent);
    insert.Bind(3, name);
    insert.Bind(4, key);
    insert.Bind(5, depth);
    if (FAILED(status = insert.Run())) return status;
    if (id) *id = newId;
    return S_OK;
  });
}

HRESULT StoreDatabase::RenameFolder(STOREFOLDERID id, std::string_view name) {
  HRESULT hr = CheckFolderName(name);
  if (FAILED(hr)) return hr;
  const std::string key = FolderNameKey(name);
  std::lock_guard lock(mutex_);
  return RunChange(0, [&]() -> HRESULT {
    if (!IsRealId(id)) return STG_E_FILENOTFOUND;
    Statement query(*connection_, "SELECT parent, special FROM folders WHERE id = ?1");
    query.Bind(1, id);
    HRESULT found = query.Step();
    if (FAILED(found)) return found;
    if (found == S_FALSE) return STG_E_FILENOTFOUND;
    if (query.Int(1) != FOLDER_NOTSPECIAL) return E_ACCESSDENIED;
    Statement update(*connection_, "UPDATE folders SET name = ?2, name_key = ?3 WHERE id = ?1");
    update.Bind(1, id);
    update.Bind(2, name);
    update.Bind(3, key);
    return update.Run();
  });
}

HRESULT StoreDatabase::DeleteFolder(STOREFOLDERID id) {
  std::lock_guard lock(mutex_);
  HRESULT hr = RunChange(0, [&]() -> HRESULT {
    if (!IsRealId(id)) return STG_E_FILENOTFOUND;
    Statement query(*connection_,
                    "SELECT special, EXISTS(SELECT 1 FROM folders c WHERE c.parent = f.id) "
                    "FROM folders f WHERE f.id = ?1");
    query.Bind(1, id);
    HRESULT found = query.Step();
    if (FAILED(found)) return found;
    if (found == S_FALSE) return STG_E_FILENOTFOUND;
    if (query.Int(0) != FOLDER_NOTSPECIAL) return E_ACCESSDENIED;
    if (query.Int(1) != 0) return STORE_E_NOTEMPTY;
    HRESULT status;
    Statement texts(*connection_,
                    "DELETE FROM message_text WHERE id IN "
                    "(SELECT id FROM messages WHERE folder = ?1)");
    texts.Bind(1, id);
    if (FAILED(status = texts.Run())) return status;
    Statement messages(*connection_, "DELETE FROM messages WHERE folder = ?1");
    messages.Bind(1, id);
    if (FAILED(status = messages.Run())) return status;
    Statement folder(*connection_, "DELETE FROM folders WHERE id = ?1");
    folder.Bind(1, id);
    return folder.Run();
  });
  if (SUCCEEDED(hr)) ++removals_;
  return hr;
}

HRESULT StoreDatabase::ListMessages(STOREFOLDERID folder, MESSAGEID from, size_t limit,
                                    std::vector<MessageInfo>* out) {
  // The rows are read over the elements *out already has, so that a caller
  // that lists chunk after chunk into one vector allocates nothing once its
  // storage has grown; the vector is cut to the rows read.
  size_t count = 0;
  HRESULT hr = ReadMessages(folder, from, limit, out, &count);
  out->resize(count);
  return hr;
}

HRESULT StoreDatabase::ReadMessages(STOREFOLDERID folder, MESSAGEID from, size_t limit,
                                    std::vector<MessageInfo>* out, size_t* count) {
  std::lock_guard lock(mutex_);
  Transaction tx(*connection_, Transaction::Kind::kRead);
  HRESULT hr = tx.status();
  if (FAILED(hr)) return hr;
  if (FAILED(hr = RequireFolder(folder, STG_E_REVERTED))) return hr;
  static const std::string kSql = std::string("SELECT ") + kMessageColumns +
                                  " FROM messages WHERE folder = ?1 AND id >= ?2"
                                  " ORDER BY id LIMIT ?3";
  Statement query(*connection_, kSql.c_str());
  query.Bind(1, folder);
  query.Bind(2, from);
  query.Bind(3, static_cast<int64_t>(limit));
  while ((hr = query.Step()) == S_OK) {
    if (*count == out->size()) out->emplace_back();
    ReadMessageRow(query, &(*out)[(*count)++]);
  }
  if (FAILED(hr)) return hr;
  return tx.Commit();
}

HRESULT StoreDatabase::GetMessage(STOREFOLDERID folder, MESSAGEID id, MessageInfo* out) {
  std::lock_guard lock(mutex_);
  Transaction tx(*connection_, Transaction::Kind::kRead);
  HRESULT hr = tx.status();
  if (FAILED(hr)) return hr;
  if (FAILED(hr = RequireFolder(folder, STG_E_REVERTED))) return hr;
  static const std::string kSql =
      std::string("SELECT ") + kMessageColumns + " FROM messages WHERE id = ?1 AND folder = ?2";
  Statement query(*connection_, kSql.c_str());
  query.Bind(1, id);
  query.Bind(2, folder);
  hr = query.Step();
  if (FAILED(hr)) return hr;
  if (hr == S_FALSE) return STG_E_FILENOTFOUND;
  ReadMessageRow(query, out);
  return tx.Commit();
}

HRESULT StoreDatabase::ReadMessageText(STOREFOLDERID folder, MESSAGEID id, std::string* raw) {
  std::lock_guard lock(mutex_);
  Transaction tx(*connection_, Transaction::Kind::kRead);
  HRESULT hr = tx.status();
  if (FAILED(hr)) return hr;
  if (FAILED(hr = RequireFolder(folder, STG_E_REVERTED))) return hr;
  Statement query(*connection_,
                  "SELECT t.raw FROM messages m JOIN message_text t ON t.id = m.id "
                  "WHERE m.id = ?1 AND m.folder = ?2");
  query.Bind(1, id);
  query.Bind(2, folder);
  hr = query.Step();
  if (FAILED(hr)) return hr;
  if (hr == S_FALSE) return STG_E_FILENOTFOUND;
  raw->assign(query.Bytes(0));
  return tx.Commit();
}

HRESULT StoreDatabase::ReserveMessageId(HBATCHLOCK batch, MESSAGEID* id,
                                        std::shared_ptr<BatchState>* state) {
  std::lock_guard lock(mutex_);
  HRESULT hr = RunChange(batch, [&]() { return AllocateId("message", id); });
  if (SUCCEEDED(hr)) *state = batch_ != 0 ? batchState_ : nullptr;
  return hr;
}

HRESULT StoreDatabase::StoreMessage(HBATCHLOCK batch, STOREFOLDERID folder, MESSAGEID reserved,
                                    const BatchState* reservedUnder, const NewMessage& message,
                                    MESSAGEID* id) {
  if (message.raw.size() > kMaxMessageSize) return STG_E_MEDIUMFULL;
  std::lock_guard lock(mutex_);
  return RunChange(batch, [&]() -> HRESULT {
    if (reservedUnder && reservedUnder->undone) return STG_E_REVERTED;
    HRESULT hr = RequireFolder(folder, STG_E_REVERTED);
    if (FAILED(hr)) return hr;
    uint32_t newId = reserved;
    if (newId == 0 && FAILED(hr = AllocateId("message", &newId))) return hr;
    const HeaderFields& fields = message.fields;
    DWORD flags = (message.flags & ~MSGFLAG_ATTACHMENT) |
                  (fields.hasAttachment ? MSGFLAG_ATTACHMENT : 0);
    Statement insert(*connection_,
                     "INSERT INTO messages(id, folder, flags, size, priority, language,"
                     " received, sent, subject, normal_subject, display_from, display_to, digest)"
                     " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)");
    insert.Bind(1, newId);
    insert.Bind(2, folder);
    insert.Bind(3, flags);
    insert.Bind(4, static_cast<int64_t>(message.raw.size()));
    insert.Bind(5, static_cast<int64_t>(fields.priority));
    insert.Bind(6, fields.language);
    insert.Bind(7, static_cast<int64_t>(message.received));
    insert.Bind(8, static_cast<int64_t>(fields.sent));
    insert.Bind(9, fields.subject);
    insert.Bind(10, fields.normalSubject);
    insert.Bind(11, fields.displayFrom);
    insert.Bind(12, fields.displayTo);
    insert.BindBlob(13, message.digest.data(), message.digest.size());
    if (FAILED(hr = insert.Run())) return hr;
    Statement text(*connection_, "INSERT INTO message_text(id, raw) VALUES(?1, ?2)");
    text.Bind(1, newId);
    text.BindBlob(2, message.raw.data(), message.raw.size());
    if (FAILED(hr = text.Run())) return hr;
    if (id) *id = newId;
    return S_OK;
  });
}

HRESULT StoreDatabase::CopyMoveMessages(STOREFOLDERID source, STOREFOLDERID destination,
                                        const std::vector<MESSAGEID>& ids, bool move,
                                        DWORD flagsToRemove) {
  // The attachment bit describes the content and stays with every copy.
  const int64_t keep = static_cast<int64_t>(~(flagsToRemove & ~MSGFLAG_ATTACHMENT) & 0xFFFFFFFFu);
  std::lock_guard lock(mutex_);
  return RunChange(0, [&]() -> HRESULT {
    HRESULT hr = RequireFolder(source, STG_E_REVERTED);
    if (FAILED(hr) || FAILED(hr = RequireFolder(destination, STG_E_REVERTED))) return hr;
    for (MESSAGEID id : ids) {
      if (move) {
        Statement update(*connection_,
                         "UPDATE messages SET folder = ?3 WHERE id = ?1 AND folder = ?2");
        update.Bind(1, id);
        update.Bind(2, source);
        update.Bind(3, destination);
        if (FAILED(hr = update.Run())) return hr;
        if (connection_->Changes() != 1) return STG_E_FILENOTFOUND;
        continue;
      }
      uint32_t copyId = 0;
      if (FAILED(hr = AllocateId("message", &copyId))) return hr;
      Statement copy(*connection_,
                     "INSERT INTO messages(id, folder, flags, size, priority, language, received,"
                     " sent, subject, normal_subject, display_from, display_to, digest)"
                     " SELECT ?3, ?4, flags & ?5, size, priority, language, received, sent,"
                     " subject, normal_subject, display_from, display_to, digest"
                     " FROM messages WHERE id = ?1 AND folder = ?2");
      copy.Bind(1, id);
      copy.Bind(2, source);
      copy.Bind(3, copyId);
      copy.Bind(4, destination);
      copy.Bind(5, keep);
      if (FAILED(hr = copy.Run())) return hr;
      if (connection_->Changes() != 1) return STG_E_FILENOTFOUND;
      Statement text(*connection_,
                     "INSERT INTO message_text(id, raw) SELECT ?2, raw FROM message_text "
                     "WHERE id = ?1");
      text.Bind(1, id);
      text.Bind(2, copyId);
      if (FAILED(hr = text.Run())) return hr;
      if (connection_->Changes() != 1) return STG_E_DOCFILECORRUPT;
    }
    return S_OK;
  });
}

HRESULT StoreDatabase::DeleteMessages(STOREFOLDERID folder, const std::vector<MESSAGEID>& ids) {
  std::lock_guard lock(mutex_);
  return RunChange(0, [&]() -> HRESULT {
    HRESULT hr = RequireFolder(folder, STG_E_REVERTED);
    if (FAILED(hr)) return hr;
    for (MESSAGEID id : ids) {
      Statement message(*connection_, "DELETE FROM messages WHERE id = ?1 AND folder = ?2");
      message.Bind(1, id);
      message.Bind(2, folder);
      if (FAILED(hr = message.Run())) return hr;
      if (connection_->Changes() != 1) return STG_E_FILENOTFOUND;
      Statement text(*connection_, "DELETE FROM message_text WHERE id = ?1");
      text.Bind(1, id);
      if (FAILED(hr = text.Run())) return hr;
    }
    return S_OK;
  });
}

HRESULT StoreDatabase::MarkMessages(STOREFOLDERID folder, const std::vector<MESSAGEID>& ids,
                                    bool read) {
  std::lock_guard lock(mutex_);
  return RunChange(0, [&]() -> HRESULT {
    HRESULT hr = RequireFolder(folder, STG_E_REVERTED);
    if (FAILED(hr)) return hr;
    for (MESSAGEID id : ids) {
      Statement update(*connection_,
                       read ? "UPDATE messages SET flags = flags | 1 WHERE id = ?1 AND folder = ?2"
                            : "UPDATE messages SET flags = flags & ~1 WHERE id = ?1 AND folder = ?2");
      update.Bind(1, id);
      update.Bind(2, folder);
      if (FAILED(hr = update.Run())) return hr;
      if (connection_->Changes() != 1) return STG_E_FILENOTFOUND;
    }
    return S_OK;
  });
}

HRESULT StoreDatabase::FindByDigest(const Digest& digest, STOREFOLDERID* folder, MESSAGEID* id) {
  std::lock_guard lock(mutex_);
  Statement query(*connection_,
                  "SELECT folder, id FROM messages WHERE digest = ?1 ORDER BY id LIMIT 1");
  query.BindBlob(1, digest.data(), digest.size());
  HRESULT hr = query.Step();
  if (hr != S_OK) return hr;
  *folder = static_cast<STOREFOLDERID>(query.Int(0));
  *id = static_cast<MESSAGEID>(query.Int(1));
  return S_OK;
}

HRESULT StoreDatabase::BeginBatch(HBATCHLOCK* batch) {
  std::lock_guard lock(mutex_);
  if (batch_ != 0 || connection_->InTransaction()) return E_UNEXPECTED;
  if (connection_->read_only()) return STG_E_ACCESSDENIED;
  HRESULT hr = connection_->Exec("BEGIN IMMEDIATE");
  if (FAILED(hr)) return hr;
  batch_ = NewHandle();
  batchState_ = std::make_shared<BatchState>();
  batchFailure_ = S_OK;
  *batch = batch_;
  return S_OK;
}

HRESULT StoreDatabase::CommitBatch(HBATCHLOCK batch) {
  std::lock_guard lock(mutex_);
  if (batch == 0 || batch != batch_) return E_HANDLE;
  HRESULT hr = batchFailure_;
  if (SUCCEEDED(hr)) hr = connection_->Exec("COMMIT");
  if (FAILED(hr)) UndoBatch();
  ForgetBatch();
  return hr;
}

HRESULT StoreDatabase::AbortBatch(HBATCHLOCK batch) {
  std::lock_guard lock(mutex_);
  if (batch == 0 || batch != batch_) return E_HANDLE;
  UndoBatch();
  ForgetBatch();
  return S_OK;
}

void StoreDatabase::UndoBatch() {
  if (connection_->InTransaction()) connection_->Exec("ROLLBACK");
  CloseUndoneBatch();
}

void StoreDatabase::ForgetBatch() {
  batch_ = 0;
  batchState_.reset();
  batchFailure_ = S_OK;
}

}  // namespace vorn_store
