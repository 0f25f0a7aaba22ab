// A store of the first database layout, opened by this server: upgraded once,
// in one step, with its folders, messages and texts kept, its cached fields
// read again and clashing sibling names numbered.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/failure_reason.h"
#include "tests/services/store/store_fixture.h"

namespace store_test {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string Reason() {
  char text[VORN_MAX_FAILURE_REASON + 1] = {};
  VornGetFailureReason(text, sizeof text);
  return text;
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
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
    sqlite3_close(db);
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
      for (const FolderRow& row : SubFolders(parent)) found = row.name == name ? row.id : found;
      if (!(parent = found)) return 0;
    }
    return parent;
  }
};

const char kUpgradedTree[] =
    "Inbox\nOutbox\nSent Items\nDeleted Items\nDrafts\n"
    "Notes\nNotes (2)\nNOTES (3)\nProjects\n  2026\n  Archiv\n  ARCHIV (2)\n";

TEST_F(UpgradeTest, AFirstLayoutStoreKeepsEveryFolderAndMessageAndReadsItsFieldsAgain) {
  PutFirstLayoutStore();
  VornSetFailureReason(nullptr);
  ASSERT_EQ(S_OK, Reopen());
  EXPECT_EQ(kUpgradedTree, Tree());
  EXPECT_THAT(Reason(), ::testing::HasSubstr("renamed: \"NOTES\" to \"NOTES (3)\", "
                                             "\"ARCHIV\" to \"ARCHIV (2)\""));

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
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.id);
    ComPtr<IStoreFolder> folder = Open(Find(e.folder));
    std::optional<MessageRow> row;
    for (const MessageRow& m : Messages(folder.Get())) row = m.id == e.id ? m : row;
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(ReadFile(DataPath("version1-messages/" + std::to_string(e.id) + ".eml")),
              RawText(folder.Get(), e.id));
    EXPECT_EQ(e.subject, row->subject);
    EXPECT_EQ(e.language, row->language);
    EXPECT_EQ(e.sent, row->sent);
    EXPECT_EQ(e.flags, row->flags);
  }

  // Opened again, nothing more happens; the unique key now keeps names apart.
  VornSetFailureReason("earlier");
  ASSERT_EQ(S_OK, Reopen());
  EXPECT_EQ("earlier", Reason());
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
  EXPECT_THAT(Reason(), ::testing::HasSubstr("could not be upgraded"));
  store_ = nullptr;
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
