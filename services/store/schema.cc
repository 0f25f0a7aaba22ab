#include "services/store/schema.h"

#include <algorithm>
#include <memory>
#include <set>

#include "platform/runtime.h"
#include "runtime/com_ptr.h"
#include "services/store/folder_names.h"
#include "services/store/header_fields.h"

namespace vorn_store {

const char* const kFoldersSchema = R"sql(
CREATE TABLE folders(
  id INTEGER PRIMARY KEY,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL,
  name_key TEXT NOT NULL,
  special INTEGER NOT NULL,
  depth INTEGER NOT NULL
);
CREATE UNIQUE INDEX folders_name ON folders(parent, name_key);
)sql";

namespace {

// Messages whose fields are derived per round: their texts are held in
// memory meanwhile, and no statement reads the table while it is written.
constexpr size_t kMessagesPerRound = 256;

struct OldFolder {
  STOREFOLDERID id;
  STOREFOLDERID parent;
  std::string name;
  int64_t special;
  int64_t depth;
  std::string key;
};

// `name` with " (n)" added, cut at a character boundary so that the whole
// fits a folder name.
std::string Numbered(const std::string& name, int n) {
  const std::string suffix = " (" + std::to_string(n) + ")";
  const size_t room = static_cast<size_t>(CCH_FOLDER_NAME - 1) - suffix.size();
  size_t keep = std::min(name.size(), room);
  while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
    --keep;
  }
  return name.substr(0, keep) + suffix;
}

// Gives every folder its key, and a new name where its key is taken by an
// earlier sibling. `folders` is ordered by parent, then special folders
// first, then by identifier.
void AssignKeys(std::vector<OldFolder>* folders, std::vector<RenamedFolder>* renamed) {
  size_t begin = 0;
  while (begin < folders->size()) {
    size_t end = begin;
    while (end < folders->size() && (*folders)[end].parent == (*folders)[begin].parent) ++end;
    // Every name that is first with its key keeps it; the names added for
    // the others avoid all of those, not only the ones seen so far.
    std::set<std::string> taken;
    std::vector<OldFolder*> clashing;
    for (size_t i = begin; i < end; ++i) {
      OldFolder& folder = (*folders)[i];
      folder.key = FolderNameKey(folder.name);
      if (!taken.insert(folder.key).second) clashing.push_back(&folder);
    }
    for (OldFolder* folder : clashing) {
      for (int n = 2;; ++n) {
        std::string name = Numbered(folder->name, n);
        std::string key = FolderNameKey(name);
        if (taken.insert(key).second) {
          if (renamed) renamed->push_back({folder->id, folder->name, name});
          folder->name = std::move(name);
          folder->key = std::move(key);
          break;
        }
      }
    }
    begin = end;
  }
}

HRESULT RebuildFolders(Connection& connection, std::vector<RenamedFolder>* renamed) {
  std::vector<OldFolder> folders;
  {
    Statement query(connection,
                    "SELECT id, parent, name, special, depth FROM folders "
                    "ORDER BY parent, special = -1, id");
    HRESULT hr;
    while ((hr = query.Step()) == S_OK) {
      folders.push_back({static_cast<STOREFOLDERID>(query.Int(0)),
                         static_cast<STOREFOLDERID>(query.Int(1)), query.Text(2), query.Int(3),
                         query.Int(4), std::string()});
    }
    if (FAILED(hr)) return hr;
  }
  AssignKeys(&folders, renamed);
  // A table cannot gain a NOT NULL column without a default: make it anew.
  HRESULT hr = connection.Exec("ALTER TABLE folders RENAME TO folders_version1");
  if (FAILED(hr) || FAILED(hr = connection.Exec(kFoldersSchema))) return hr;
  for (const OldFolder& folder : folders) {
    Statement insert(connection,
                     "INSERT INTO folders(id, parent, name, name_key, special, depth) "
                     "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    insert.Bind(1, folder.id);
    insert.Bind(2, folder.parent);
    insert.Bind(3, folder.name);
    insert.Bind(4, folder.key);
    insert.Bind(5, folder.special);
    insert.Bind(6, folder.depth);
    if (FAILED(hr = insert.Run())) return hr;
  }
  return connection.Exec("DROP TABLE folders_version1");
}

struct StoredText {
  MESSAGEID id;
  int64_t flags;
  std::shared_ptr<const std::string> raw;
};

HRESULT DeriveMessageFields(Connection& connection, IClassFactory* mimeMessageClass) {
  std::vector<StoredText> round;
  int64_t after = 0;
  for (;;) {
    round.clear();
    {
      Statement query(connection,
                      "SELECT m.id, m.flags, t.raw FROM messages m JOIN message_text t "
                      "ON t.id = m.id WHERE m.id > ?1 ORDER BY m.id LIMIT ?2");
      query.Bind(1, after);
      query.Bind(2, static_cast<int64_t>(kMessagesPerRound));
      HRESULT hr;
      while ((hr = query.Step()) == S_OK) {
        round.push_back({static_cast<MESSAGEID>(query.Int(0)), query.Int(1),
                         std::make_shared<const std::string>(query.Bytes(2))});
      }
      if (FAILED(hr)) return hr;
    }
    if (round.empty()) return S_OK;
    for (const StoredText& message : round) {
      HeaderFields fields;
      HRESULT hr = DeriveHeaderFields(message.raw, mimeMessageClass, &fields);
      if (FAILED(hr)) return hr;
      if (hr != S_OK) continue;  // unreadable now: what was read when it was stored stays
      const int64_t flags = (message.flags & ~int64_t{MSGFLAG_ATTACHMENT}) |
                            (fields.hasAttachment ? MSGFLAG_ATTACHMENT : 0);
      Statement update(connection,
                       "UPDATE messages SET flags = ?2, priority = ?3, language = ?4, sent = ?5,"
                       " subject = ?6, normal_subject = ?7, display_from = ?8, display_to = ?9"
                       " WHERE id = ?1");
      update.Bind(1, message.id);
      update.Bind(2, flags);
      update.Bind(3, static_cast<int64_t>(fields.priority));
      update.Bind(4, fields.language);
      update.Bind(5, static_cast<int64_t>(fields.sent));
      update.Bind(6, fields.subject);
      update.Bind(7, fields.normalSubject);
      update.Bind(8, fields.displayFrom);
      update.Bind(9, fields.displayTo);
      if (FAILED(hr = update.Run())) return hr;
    }
    after = round.back().id;
  }
}

}  // namespace

HRESULT ReadSchemaVersion(Connection& connection, int* version) {
  Statement query(connection, "PRAGMA user_version");
  HRESULT hr = query.Step();
  if (hr == S_OK) *version = static_cast<int>(query.Int(0));
  return hr == S_OK ? S_OK : (FAILED(hr) ? hr : E_FAIL);
}

HRESULT UpgradeFromVersion1(Connection& connection, IClassFactory* mimeMessageClass,
                            std::vector<RenamedFolder>* renamed) {
  if (renamed) renamed->clear();
  if (connection.InTransaction()) return E_UNEXPECTED;
  ComPtr<IClassFactory> factory;
  if (mimeMessageClass) {
    factory = ComPtr<IClassFactory>(mimeMessageClass);
  } else {
    HRESULT hr = CoGetClassObject(CLSID_VornMimeMessage, CLSCTX_INPROC_SERVER, nullptr,
                                  IID_IClassFactory, factory.PutVoid());
    if (FAILED(hr)) return hr;
    if (!factory) return E_UNEXPECTED;
  }
  std::vector<RenamedFolder> renames;
  Transaction tx(connection, Transaction::Kind::kWrite);
  HRESULT hr = tx.status();
  if (FAILED(hr)) return hr;
  int version = 0;
  if (FAILED(hr = ReadSchemaVersion(connection, &version))) return hr;
  if (version != 1) return S_FALSE;
  if (FAILED(hr = RebuildFolders(connection, &renames))) return hr;
  if (FAILED(hr = DeriveMessageFields(connection, factory.Get()))) return hr;
  if (FAILED(hr = connection.Exec("PRAGMA user_version=2"))) return hr;
  if (FAILED(hr = tx.Commit())) return hr;
  if (renamed) *renamed = std::move(renames);
  return S_OK;
}

}  // namespace vorn_store
