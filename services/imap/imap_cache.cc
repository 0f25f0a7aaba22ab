#include "services/imap/imap_cache.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "runtime/text.h"

namespace vorn_imap {
namespace {

using vorn_store::Statement;
using vorn_store::Transaction;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS counters(name TEXT PRIMARY KEY, next INTEGER NOT NULL);"
    "INSERT OR IGNORE INTO counters VALUES('folder', 1), ('message', 1);"
    "CREATE TABLE IF NOT EXISTS folders(id INTEGER PRIMARY KEY, mailbox TEXT NOT NULL UNIQUE,"
    " uidvalidity INTEGER NOT NULL DEFAULT 0, uidnext INTEGER NOT NULL DEFAULT 0,"
    " messages INTEGER NOT NULL DEFAULT 0, unseen INTEGER NOT NULL DEFAULT 0,"
    " modseq INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS messages(id INTEGER PRIMARY KEY, folder INTEGER NOT NULL,"
    " uidvalidity INTEGER NOT NULL, uid INTEGER NOT NULL, flags INTEGER NOT NULL,"
    " size INTEGER NOT NULL, priority INTEGER NOT NULL, language INTEGER NOT NULL,"
    " received INTEGER NOT NULL, sent INTEGER NOT NULL, subject TEXT NOT NULL,"
    " normal_subject TEXT NOT NULL, display_from TEXT NOT NULL, display_to TEXT NOT NULL,"
    " digest BLOB NOT NULL, bare_lf INTEGER NOT NULL DEFAULT 0,"
    " UNIQUE(folder, uidvalidity, uid));"
    "CREATE INDEX IF NOT EXISTS messages_digest ON messages(digest);"
    "CREATE INDEX IF NOT EXISTS messages_folder ON messages(folder, id);"
    "CREATE TABLE IF NOT EXISTS gone(folder INTEGER NOT NULL, uidvalidity INTEGER NOT NULL,"
    " uid INTEGER NOT NULL, at INTEGER NOT NULL, PRIMARY KEY(folder, uidvalidity, uid))"
    " WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS gone_at ON gone(at);";

// How long a message stays marked gone, in ticks: an hour.
constexpr int64_t kGoneTicks = 36000000000ll;

constexpr const char* kMessageColumns =
    "SELECT id, folder, uidvalidity, uid, flags, size, priority, language, received, sent,"
    " subject, normal_subject, display_from, display_to, digest, bare_lf FROM messages ";

void ReadMessage(const Statement& row, CachedMessage* out) {
  out->info.id = static_cast<MESSAGEID>(row.Int(0));
  out->folder = static_cast<STOREFOLDERID>(row.Int(1));
  out->uidValidity = static_cast<uint32_t>(row.Int(2));
  out->uid = static_cast<uint32_t>(row.Int(3));
  out->info.flags = static_cast<DWORD>(row.Int(4));
  out->info.size = static_cast<DWORD>(row.Int(5));
  out->info.priority = static_cast<IMSGPRIORITY>(row.Int(6));
  out->info.language = static_cast<DWORD>(row.Int(7));
  out->info.received = static_cast<uint64_t>(row.Int(8));
  out->info.sent = static_cast<uint64_t>(row.Int(9));
  out->info.subject = row.Text(10);
  out->info.normalSubject = row.Text(11);
  out->info.displayFrom = row.Text(12);
  out->info.displayTo = row.Text(13);
  std::string_view digest = row.Bytes(14);
  out->digest.fill(0);
  std::memcpy(out->digest.data(), digest.data(), std::min(digest.size(), out->digest.size()));
  out->bareLf = row.Int(15) != 0;
}

void ReadFolder(const Statement& row, CachedFolder* out) {
  out->id = static_cast<STOREFOLDERID>(row.Int(0));
  out->mailbox = row.Text(1);
  out->status.uidValidity = static_cast<uint32_t>(row.Int(2));
  out->status.uidNext = static_cast<uint32_t>(row.Int(3));
  out->status.messages = static_cast<uint32_t>(row.Int(4));
  out->status.unseen = static_cast<uint32_t>(row.Int(5));
  out->status.highestModSeq = static_cast<uint64_t>(row.Int(6));
}

constexpr const char* kFolderColumns =
    "SELECT id, mailbox, uidvalidity, uidnext, messages, unseen, modseq FROM folders ";

}  // namespace

HRESULT ImapCache::Open(const std::string& path, std::unique_ptr<ImapCache>* out) {
  std::unique_ptr<vorn_store::Connection> connection;
  HRESULT hr = vorn_store::Connection::Open(path, &connection);
  if (FAILED(hr)) return hr;
  if (connection->read_only()) return STG_E_ACCESSDENIED;
  if (FAILED(hr = connection->Exec(kSchema))) return hr;
  out->reset(new ImapCache(path, std::move(connection)));
  return S_OK;
}

HRESULT ImapCache::InTransaction(const std::function<HRESULT()>& body) {
  Transaction transaction(*connection_, Transaction::Kind::kWrite);
  if (FAILED(transaction.status())) return transaction.status();
  HRESULT hr = body();
  if (FAILED(hr)) return hr;
  HRESULT committed = transaction.Commit();
  return FAILED(committed) ? committed : hr;
}

HRESULT ImapCache::Allocate(const char* counter, uint32_t count, uint32_t* first) {
  Statement read(*connection_, "SELECT next FROM counters WHERE name = ?");
  read.Bind(1, std::string_view(counter));
  HRESULT hr = read.Step();
  if (hr != S_OK) return FAILED(hr) ? hr : E_UNEXPECTED;
  int64_t next = read.Int(0);
  if (next <= 0 || next + count >= 0xFFFFFFFFll) return STG_E_MEDIUMFULL;
  Statement write(*connection_, "UPDATE counters SET next = ? WHERE name = ?");
  write.Bind(1, next + count);
  write.Bind(2, std::string_view(counter));
  if (FAILED(hr = write.Run())) return hr;
  *first = static_cast<uint32_t>(next);
  return S_OK;
}

HRESULT ImapCache::FolderFor(const std::string& mailbox, STOREFOLDERID* id) {
  {
    Statement find(*connection_, "SELECT id FROM folders WHERE mailbox = ?");
    find.Bind(1, mailbox);
    HRESULT hr = find.Step();
    if (FAILED(hr)) return hr;
    if (hr == S_OK) {
      *id = static_cast<STOREFOLDERID>(find.Int(0));
      return S_OK;
    }
  }
  return InTransaction([&]() -> HRESULT {
    uint32_t made = 0;
    HRESULT hr = Allocate("folder", 1, &made);
    if (FAILED(hr)) return hr;
    Statement insert(*connection_, "INSERT INTO folders(id, mailbox) VALUES(?, ?)");
    insert.Bind(1, static_cast<int64_t>(made));
    insert.Bind(2, mailbox);
    if (FAILED(hr = insert.Run())) return hr;
    *id = made;
    return S_OK;
  });
}

HRESULT ImapCache::GetFolder(STOREFOLDERID id, CachedFolder* out) {
  static const std::string sql = std::string(kFolderColumns) + "WHERE id = ?";
  Statement find(*connection_, sql.c_str());
  find.Bind(1, static_cast<int64_t>(id));
  HRESULT hr = find.Step();
  if (FAILED(hr)) return hr;
  if (hr == S_FALSE) return STG_E_FILENOTFOUND;
  ReadFolder(find, out);
  return S_OK;
}

HRESULT ImapCache::ListFolders(std::vector<CachedFolder>* out) {
  static const std::string sql = std::string(kFolderColumns) + "ORDER BY id";
  Statement list(*connection_, sql.c_str());
  out->clear();
  HRESULT hr;
  while ((hr = list.Step()) == S_OK) {
    out->emplace_back();
    ReadFolder(list, &out->back());
  }
  return FAILED(hr) ? hr : S_OK;
}

HRESULT ImapCache::DropFolder(STOREFOLDERID id) {
  return InTransaction([&]() -> HRESULT {
    Statement messages(*connection_, "DELETE FROM messages WHERE folder = ?");
    messages.Bind(1, static_cast<int64_t>(id));
    HRESULT hr = messages.Run();
    if (FAILED(hr)) return hr;
    Statement folder(*connection_, "DELETE FROM folders WHERE id = ?");
    folder.Bind(1, static_cast<int64_t>(id));
    return folder.Run();
  });
}

HRESULT ImapCache::RenameFolder(STOREFOLDERID id, const std::string& from, const std::string& to,
                                char separator) {
  return InTransaction([&]() -> HRESULT {
    std::vector<CachedFolder> all;
    HRESULT hr = ListFolders(&all);
    if (FAILED(hr)) return hr;
    std::string prefix = from + separator;
    for (const CachedFolder& folder : all) {
      std::string renamed;
      if (folder.id == id) {
        renamed = to;
      } else if (separator && folder.mailbox.compare(0, prefix.size(), prefix) == 0) {
        renamed = to + separator + folder.mailbox.substr(prefix.size());
      } else {
        continue;
      }
      // A stale entry of that name (a mailbox gone meanwhile) makes way.
      Statement clash(*connection_, "DELETE FROM folders WHERE mailbox = ? AND id <> ?");
      clash.Bind(1, renamed);
      clash.Bind(2, static_cast<int64_t>(folder.id));
      if (FAILED(hr = clash.Run())) return hr;
      Statement update(*connection_, "UPDATE folders SET mailbox = ? WHERE id = ?");
      update.Bind(1, renamed);
      update.Bind(2, static_cast<int64_t>(folder.id));
      if (FAILED(hr = update.Run())) return hr;
    }
    return S_OK;
  });
}

HRESULT ImapCache::SaveStatus(STOREFOLDERID id, const MailboxStatus& status) {
  Statement update(*connection_,
                   "UPDATE folders SET uidvalidity = ?, uidnext = ?, messages = ?, unseen = ?,"
                   " modseq = ? WHERE id = ?");
  update.Bind(1, static_cast<int64_t>(status.uidValidity));
  update.Bind(2, static_cast<int64_t>(status.uidNext));
  update.Bind(3, static_cast<int64_t>(status.messages));
  update.Bind(4, static_cast<int64_t>(status.unseen));
  update.Bind(5, static_cast<int64_t>(status.highestModSeq));
  update.Bind(6, static_cast<int64_t>(id));
  return update.Run();
}

HRESULT ImapCache::AllocateMessageId(MESSAGEID* id) { return AllocateMessageIds(1, id); }

HRESULT ImapCache::AllocateMessageIds(uint32_t count, MESSAGEID* first) {
  if (count == 0) return E_INVALIDARG;
  return InTransaction([&] { return Allocate("message", count, first); });
}

HRESULT ImapCache::ReturnMessageIds(MESSAGEID from, MESSAGEID end) {
  if (from >= end) return S_OK;
  return InTransaction([&]() -> HRESULT {
    Statement back(*connection_,
                   "UPDATE counters SET next = ? WHERE name = 'message' AND next = ?");
    back.Bind(1, static_cast<int64_t>(from));
    back.Bind(2, static_cast<int64_t>(end));
    HRESULT hr = back.Run();
    if (FAILED(hr)) return hr;
    return connection_->Changes() == 1 ? S_OK : S_FALSE;
  });
}

HRESULT ImapCache::ListUids(STOREFOLDERID folder, std::vector<CachedUid>* out) {
  Statement list(*connection_,
                 "SELECT id, uidvalidity, uid, flags FROM messages WHERE folder = ?"
                 " ORDER BY uidvalidity, uid");
  list.Bind(1, static_cast<int64_t>(folder));
  out->clear();
  HRESULT hr;
  while ((hr = list.Step()) == S_OK) {
    out->push_back(CachedUid{static_cast<MESSAGEID>(list.Int(0)),
                             static_cast<uint32_t>(list.Int(1)),
                             static_cast<uint32_t>(list.Int(2)), static_cast<DWORD>(list.Int(3))});
  }
  return FAILED(hr) ? hr : S_OK;
}

HRESULT ImapCache::ListMessageInfo(STOREFOLDERID folder, MESSAGEID from, size_t limit,
                                   std::vector<vorn_store::MessageInfo>* out) {
  Statement list(*connection_,
                 "SELECT id, flags, size, priority, language, received, sent, subject,"
                 " normal_subject, display_from, display_to FROM messages"
                 " WHERE folder = ? AND id >= ? ORDER BY id LIMIT ?");
  list.Bind(1, static_cast<int64_t>(folder));
  list.Bind(2, static_cast<int64_t>(from));
  list.Bind(3, static_cast<int64_t>(std::min<size_t>(limit, INT64_MAX)));
  // Rows go into the elements already there, whose strings keep their
  // storage: paging through a large folder allocates little.
  size_t count = 0;
  HRESULT hr;
  while ((hr = list.Step()) == S_OK) {
    if (count == out->size()) out->emplace_back();
    vorn_store::MessageInfo& info = (*out)[count++];
    info.id = static_cast<MESSAGEID>(list.Int(0));
    info.flags = static_cast<DWORD>(list.Int(1));
    info.size = static_cast<DWORD>(list.Int(2));
    info.priority = static_cast<IMSGPRIORITY>(list.Int(3));
    info.language = static_cast<DWORD>(list.Int(4));
    info.received = static_cast<uint64_t>(list.Int(5));
    info.sent = static_cast<uint64_t>(list.Int(6));
    info.subject.assign(list.Bytes(7));
    info.normalSubject.assign(list.Bytes(8));
    info.displayFrom.assign(list.Bytes(9));
    info.displayTo.assign(list.Bytes(10));
  }
  out->resize(count);
  return FAILED(hr) ? hr : S_OK;
}

HRESULT ImapCache::GetMessage(STOREFOLDERID folder, MESSAGEID id, CachedMessage* out) {
  static const std::string sql = std::string(kMessageColumns) + "WHERE id = ? AND folder = ?";
  Statement find(*connection_, sql.c_str());
  find.Bind(1, static_cast<int64_t>(id));
  find.Bind(2, static_cast<int64_t>(folder));
  HRESULT hr = find.Step();
  if (FAILED(hr)) return hr;
  if (hr == S_FALSE) return STG_E_FILENOTFOUND;
  ReadMessage(find, out);
  return S_OK;
}

HRESULT ImapCache::PutMessage(const CachedMessage& m) {
  Statement put(*connection_,
                "INSERT OR REPLACE INTO messages(id, folder, uidvalidity, uid, flags, size,"
                " priority, language, received, sent, subject, normal_subject, display_from,"
                " display_to, digest, bare_lf) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  put.Bind(1, static_cast<int64_t>(m.info.id));
  put.Bind(2, static_cast<int64_t>(m.folder));
  put.Bind(3, static_cast<int64_t>(m.uidValidity));
  put.Bind(4, static_cast<int64_t>(m.uid));
  put.Bind(5, static_cast<int64_t>(m.info.flags));
  put.Bind(6, static_cast<int64_t>(m.info.size));
  put.Bind(7, static_cast<int64_t>(m.info.priority));
  put.Bind(8, static_cast<int64_t>(m.info.language));
  put.Bind(9, static_cast<int64_t>(m.info.received));
  put.Bind(10, static_cast<int64_t>(m.info.sent));
  put.Bind(11, m.info.subject);
  put.Bind(12, m.info.normalSubject);
  put.Bind(13, m.info.displayFrom);
  put.Bind(14, m.info.displayTo);
  put.BindBlob(15, m.digest.data(), m.digest.size());
  put.Bind(16, int64_t{m.bareLf ? 1 : 0});
  return put.Run();
}

HRESULT ImapCache::SetFlags(MESSAGEID id, DWORD flags) {
  Statement update(*connection_, "UPDATE messages SET flags = ? WHERE id = ?");
  update.Bind(1, static_cast<int64_t>(flags));
  update.Bind(2, static_cast<int64_t>(id));
  return update.Run();
}

HRESULT ImapCache::DropMessage(MESSAGEID id, STOREFOLDERID folder, uint32_t uidValidity,
                                uint32_t uid) {
  Statement drop(*connection_,
                 "DELETE FROM messages WHERE id = ? AND folder = ? AND uidvalidity = ?"
                 " AND uid = ?");
  drop.Bind(1, static_cast<int64_t>(id));
  drop.Bind(2, static_cast<int64_t>(folder));
  drop.Bind(3, static_cast<int64_t>(uidValidity));
  drop.Bind(4, static_cast<int64_t>(uid));
  HRESULT hr = drop.Run();
  return FAILED(hr) ? hr : MarkGone(folder, uidValidity, uid);
}

HRESULT ImapCache::MarkGone(STOREFOLDERID folder, uint32_t uidValidity, uint32_t uid) {
  const int64_t now = static_cast<int64_t>(vorn_rt::NowTicks());
  Statement expire(*connection_, "DELETE FROM gone WHERE at < ?");
  expire.Bind(1, now - kGoneTicks);
  HRESULT hr = expire.Run();
  if (FAILED(hr)) return hr;
  Statement mark(*connection_, "INSERT OR REPLACE INTO gone VALUES(?, ?, ?, ?)");
  mark.Bind(1, static_cast<int64_t>(folder));
  mark.Bind(2, static_cast<int64_t>(uidValidity));
  mark.Bind(3, static_cast<int64_t>(uid));
  mark.Bind(4, now);
  return mark.Run();
}

HRESULT ImapCache::GoneUids(STOREFOLDERID folder, uint32_t uidValidity,
                            std::vector<uint32_t>* out) {
  Statement list(*connection_,
                 "SELECT uid FROM gone WHERE folder = ? AND uidvalidity = ? ORDER BY uid");
  list.Bind(1, static_cast<int64_t>(folder));
  list.Bind(2, static_cast<int64_t>(uidValidity));
  out->clear();
  HRESULT hr;
  while ((hr = list.Step()) == S_OK) out->push_back(static_cast<uint32_t>(list.Int(0)));
  return FAILED(hr) ? hr : S_OK;
}

HRESULT ImapCache::FindByUid(STOREFOLDERID folder, uint32_t uidValidity, uint32_t uid,
                             MESSAGEID* id) {
  Statement find(*connection_,
                 "SELECT id FROM messages WHERE folder = ? AND uidvalidity = ? AND uid = ?");
  find.Bind(1, static_cast<int64_t>(folder));
  find.Bind(2, static_cast<int64_t>(uidValidity));
  find.Bind(3, static_cast<int64_t>(uid));
  HRESULT hr = find.Step();
  if (hr != S_OK) return hr;
  *id = static_cast<MESSAGEID>(find.Int(0));
  return S_OK;
}

HRESULT ImapCache::DropOtherValidity(STOREFOLDERID folder, uint32_t uidValidity) {
  Statement drop(*connection_, "DELETE FROM messages WHERE folder = ? AND uidvalidity <> ?");
  drop.Bind(1, static_cast<int64_t>(folder));
  drop.Bind(2, static_cast<int64_t>(uidValidity));
  return drop.Run();
}

HRESULT ImapCache::FindByDigest(const vorn_store::Digest& digest, STOREFOLDERID* folder,
                                MESSAGEID* id) {
  Statement find(*connection_,
                 "SELECT folder, id FROM messages WHERE digest = ? ORDER BY id LIMIT 1");
  find.BindBlob(1, digest.data(), digest.size());
  HRESULT hr = find.Step();
  if (hr != S_OK) return hr;
  *folder = static_cast<STOREFOLDERID>(find.Int(0));
  *id = static_cast<MESSAGEID>(find.Int(1));
  return S_OK;
}

}  // namespace vorn_imap
