// A store of the first database layout, opened by this server: upgraded once,
// in one step, with its folders, messages and texts kept, its cached fields
// read again and clashing sibling names numbered. A store of a later layout
// is left alone.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/services/store/store_fixture.h"

namespace store_test {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string DataPath(const std::string& name) {
  return vorn_test::SourceDir() + "/tests/data/store/" + name;
}

class UpgradeTest : public StoreTest {
 protected:
  bool UsesMimeLibrary() const override { return true; }

  std::string StoreFile() const { return root_->path() + "/store/store.db"; }

  // Closes the fixture's store and puts the first-layout test store in its
  // place, then runs `sql` on it.
  void PutFirstLayoutStore(const char* sql = nullptr) {
    store_ = nullptr;
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((StoreFile() + suffix).c_str());
    std::ofstream(StoreFile(), std::ios::binary) << ReadFile(DataPath("version1.db"));
    if (sql) Sql(sql);
  }

  void Sql(const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(StoreFile().c_str(), &db));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

  int UserVersion() {
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    int version = -1;
    if (sqlite3_open_v2(StoreFile().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      version = sqlite3_column_int(stmt, 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return version;
  }

  HRESULT Reopen() {
    store_ = nullptr;
    HRESULT hr = CreateStoreNamespace(&store_);
    return SUCCEEDED(hr) ? store_->Initialize(nullptr, 0) : hr;
  }

  // "name" per folder, depth first, indented by depth.
  std::string Tree(STOREFOLDERID parent = FOLDERID_ROOT, int depth = 0) {
    std::string out;
    for (const FolderRow& row : SubFolders(parent)) {
      out += std::string(depth * 2, ' ') + row.name + "\n" + Tree(row.id, depth + 1);
    }
    return out;
  }

  // Folder id by name path under the root, 0 when missing.
  STOREFOLDERID Find(std::initializer_list<const char*> path) {
    STOREFOLDERID parent = FOLDERID_ROOT;
    for (const char* name : path) {
      STOREFOLDERID found = 0;
      for (const FolderRow& row : SubFolders(parent)) {
        if (row.name == name) found = row.id;
      }
      if (!found) return 0;
      parent = found;
    }
    return parent;
  }
};

const char kUpgradedTree[] =
    "Inbox\nOutbox\nSent Items\nDeleted Items\nDrafts\n"
    "Notes\nNotes (2)\nNOTES (3)\nProjects\n  2026\n  Archiv\n  ARCHIV (2)\n";

TEST_F(UpgradeTest, AFirstLayoutStoreKeepsEveryFolderAndMessageAndReadsItsFieldsAgain) {
  PutFirstLayoutStore();
  ASSERT_EQ(S_OK, Reopen());
  EXPECT_EQ(2, UserVersion());
  EXPECT_EQ(kUpgradedTree, Tree());

  struct Expected {
    std::initializer_list<const char*> folder;
    MESSAGEID id;
    const char* subject;
    DWORD language;
    uint64_t sent;
    DWORD flags;
  };
  const Expected expected[] = {
      {{"Inbox"}, 1,
       "Gr\xC3\xBC\xC3\x9F" "e aus Bern, ein langer Betreff der \xC3\xBC" "ber zwei Zeilen geht",
       65001, 110162430000000000ull, 0},
      {{"Inbox"}, 2, "Re: News", 20127, 128380668000000000ull, 0},
      {{"Projects", "2026"}, 3, "Gr\xC3\xBC\xC3\x9F" "e", 28591, 127492131030000000ull,
       MSGFLAG_ATTACHMENT},
      {{"Projects", "Archiv"}, 4, "Minutes", 1252, 134405856000000000ull, 0},
      {{"Notes"}, 5, "No date here", 20127, 0, 0},
      {{"Projects", "ARCHIV (2)"}, 6, "Old plans", 20127, 131908932000000000ull, 0},
      {{"NOTES (3)"}, 7, "Misc", 20127, 131909796000000000ull, 0},
  };
  std::map<STOREFOLDERID, std::vector<MessageRow>> listed;
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.id);
    const STOREFOLDERID folderId = Find(e.folder);
    ASSERT_NE(0u, folderId);
    ComPtr<IStoreFolder> folder = Open(folderId);
    if (!listed.count(folderId)) listed[folderId] = Messages(folder.Get());
    const MessageRow* row = nullptr;
    for (const MessageRow& m : listed[folderId]) {
      if (m.id == e.id) row = &m;
    }
    ASSERT_NE(nullptr, row);
    EXPECT_EQ(ReadFile(DataPath("version1-messages/" + std::to_string(e.id) + ".eml")),
              RawText(folder.Get(), e.id));
    EXPECT_EQ(e.subject, row->subject);
    EXPECT_EQ(e.language, row->language);
    EXPECT_EQ(e.sent, row->sent);
    EXPECT_EQ(e.flags, row->flags);
  }

  // Opened again, nothing more happens; the unique key now keeps names apart.
  ASSERT_EQ(S_OK, Reopen());
  EXPECT_EQ(kUpgradedTree, Tree());
  const STOREFOLDERID notes3 = Find({"NOTES (3)"});
  EXPECT_EQ(STORE_E_ALREADYEXISTS, store_->CreateFolder(FOLDERID_ROOT, "notes", 0, nullptr));
  EXPECT_EQ(STORE_E_ALREADYEXISTS, store_->RenameFolder(notes3, 0, "PROJECTS"));
  EXPECT_EQ(S_OK, store_->RenameFolder(notes3, 0, "notes (3)"));
  EXPECT_EQ(S_OK, store_->CreateFolder(Find({"Projects"}), "archiv (3)", 0, nullptr));
}

TEST_F(UpgradeTest, AClashingNameTooLongForItsNumberIsCutAtACharacter) {
  // 250 letters, a two-byte letter, one more: 253 bytes, the same key twice.
  const std::string base(250, 'a');
  const std::string sql = "UPDATE folders SET name = '" + base + "\xC3\xA9x' WHERE id = 8;" +
                          "UPDATE folders SET name = '" + std::string(250, 'A') +
                          "\xC3\x89X' WHERE id = 11;";
  PutFirstLayoutStore(sql.c_str());
  ASSERT_EQ(S_OK, Reopen());
  EXPECT_NE(0u, Find({"Projects", (base + "\xC3\xA9x").c_str()}));
  EXPECT_NE(0u, Find({"Projects", (std::string(250, 'A') + " (2)").c_str()}));
}

TEST_F(UpgradeTest, AStoreOfALaterLayoutIsRefusedAndLeftAsItIs) {
  PutFirstLayoutStore();
  ASSERT_EQ(S_OK, Reopen());
  store_ = nullptr;
  Sql("PRAGMA user_version=3");
  const std::string before = ReadFile(StoreFile());
  EXPECT_EQ(STORE_E_NEWERVERSION, Reopen());
  EXPECT_EQ(before, ReadFile(StoreFile()));
  EXPECT_EQ(3, UserVersion());
}

class UpgradeWithStandInTest : public UpgradeTest {
 protected:
  bool UsesMimeLibrary() const override { return false; }
};

TEST_F(UpgradeWithStandInTest, AnUpgradeThatCannotFinishChangesNothing) {
  PutFirstLayoutStore();
  const std::string before = ReadFile(StoreFile());
  // Without a MIME library no field can be read: the store stays as it was.
  mime_.reset();
  EXPECT_TRUE(FAILED(Reopen()));
  store_ = nullptr;
  EXPECT_EQ(1, UserVersion());
  EXPECT_EQ(before, ReadFile(StoreFile()));

  // A library that cannot load a message leaves it the fields it had; the
  // names are numbered all the same.
  mime_ = std::make_unique<SimpleMimeRegistration>();
  mime_->set_fail_loads(true);
  ASSERT_EQ(S_OK, Reopen());
  EXPECT_EQ(kUpgradedTree, Tree());
  std::vector<MessageRow> inbox = Messages(Open(Find({"Inbox"})).Get());
  ASSERT_EQ(2u, inbox.size());
  EXPECT_EQ("Gr\xC3\xBC\xC3\x9F" "e aus Bern, ein langer Betreff der", inbox[0].subject);
  EXPECT_EQ(0u, inbox[0].language);
}

}  // namespace
}  // namespace store_test
