// Two processes changing one store at once: each creates folders (some with
// names both want), creates messages, moves and marks them. While they run, a
// reader in this process checks what it sees; afterwards the store must hold
// exactly what the two processes report having done.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/services/store/stress_fixture.h"

namespace store_stress {
namespace {

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

uint32_t Id(const std::string& text) { return static_cast<uint32_t>(std::stoul(text)); }

int CountLines(const Worker& worker, char first) {
  int count = 0;
  for (const std::string& line : worker.lines()) count += !line.empty() && line[0] == first;
  return count;
}

// The storage's own consistency as one read transaction sees it, straight
// from the database file: every message has its text and its folder, every
// text its message, and the identifier counter is past every message. A
// change half made would break one of them. Empty when all hold.
std::string StorageInvariants(sqlite3* db) {
  static const char* const kChecks[][2] = {
      {"message without text",
       "SELECT count(*) FROM messages m WHERE NOT EXISTS "
       "(SELECT 1 FROM message_text t WHERE t.id = m.id)"},
      {"text without message",
       "SELECT count(*) FROM message_text t WHERE NOT EXISTS "
       "(SELECT 1 FROM messages m WHERE m.id = t.id)"},
      {"message without folder",
       "SELECT count(*) FROM messages m WHERE NOT EXISTS "
       "(SELECT 1 FROM folders f WHERE f.id = m.folder)"},
      {"message beyond the counter",
       "SELECT count(*) FROM messages WHERE id >= "
       "(SELECT next FROM counters WHERE name = 'message')"},
  };
  std::string problems;
  if (sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return std::string("BEGIN: ") + sqlite3_errmsg(db);
  }
  for (const auto& check : kChecks) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, check[1], -1, &stmt, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW) {
      problems += std::string(check[0]) + ": " + sqlite3_errmsg(db) + "; ";
    } else if (sqlite3_column_int64(stmt, 0) != 0) {
      problems += std::string(check[0]) + ": " + std::to_string(sqlite3_column_int64(stmt, 0)) +
                  "; ";
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  return problems;
}

struct Message {
  STOREFOLDERID folder;
  DWORD read;
  std::string digest;
};

using StoreConcurrencyTest = StressTest;

TEST_F(StoreConcurrencyTest, TwoProcessesChangingOneStoreLoseNothingAndShowNoHalfDoneChange) {
  constexpr int kChanges = 250;
  STOREFOLDERID parent = 0;
  STOREFOLDERID common = 0;
  ASSERT_EQ(S_OK, store_->CreateFolder(FOLDERID_ROOT, "Churn", 0, &parent));
  ASSERT_EQ(S_OK, store_->CreateFolder(parent, "Common", 0, &common));
  const uint64_t seed = Seed();

  std::vector<std::unique_ptr<Worker>> workers;
  for (int w = 0; w < 2; ++w) {
    workers.push_back(std::make_unique<Worker>(std::vector<std::string>{
        "churn", std::to_string(w), std::to_string(seed + w), std::to_string(kChanges),
        std::to_string(parent), std::to_string(common)}));
    ASSERT_TRUE(workers.back()->running());
  }

  // The reader. Messages only ever come into the folders below `parent`
  // and move between them, so one listing of those folders (one snapshot)
  // must count at least every commit that had returned before it and at
  // most every commit that had begun by its end.
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(StoreFilePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr));
  sqlite3_busy_timeout(db, 10000);
  int snapshots = 0;
  std::mt19937_64 random(seed);
  while (!workers[0]->finished() || !workers[1]->finished()) {
    int returned = 0;
    for (auto& worker : workers) {
      worker->ReadFor(2);
      returned += CountLines(*worker, '+');
    }
    std::vector<FolderRow> folders;
    ASSERT_EQ(S_OK, ListFolders(store_.Get(), parent, &folders));
    long counted = 0;
    for (const FolderRow& folder : folders) {
      counted += folder.messages;
      EXPECT_LE(folder.unread, folder.messages) << folder.name;
    }
    int begun = 0;
    for (auto& worker : workers) {
      worker->Drain();
      begun += CountLines(*worker, '?');
    }
    EXPECT_LE(returned, counted) << "a listing lost messages";
    EXPECT_LE(counted, begun) << "a listing counted a message twice";
    EXPECT_EQ("", StorageInvariants(db));

    // A listed message opens with as many bytes as its properties say, or
    // has just moved away.
    const FolderRow& pick = folders[random() % folders.size()];
    ComPtr<IStoreFolder> folder;
    ASSERT_EQ(S_OK, store_->OpenFolder(pick.id, 0, folder.Put()));
    std::vector<MessageRow> messages;
    ASSERT_EQ(S_OK, ListMessages(folder.Get(), &messages));
    if (!messages.empty()) {
      const MessageRow& m = messages[random() % messages.size()];
      std::string text;
      const HRESULT hr = ReadMessageText(folder.Get(), m.id, &text);
      EXPECT_TRUE(hr == S_OK || hr == STG_E_FILENOTFOUND) << std::hex << hr;
      if (hr == S_OK) {
        EXPECT_EQ(m.size, text.size());
        EXPECT_NE(std::string::npos, text.find("Subject: " + m.subject + "\r\n"));
      }
    }
    ++snapshots;
    if (HasFailure()) break;
  }
  sqlite3_close(db);

  // What the workers did.
  std::map<MESSAGEID, Message> model;
  std::set<STOREFOLDERID> ownFolders;
  std::map<std::string, std::vector<STOREFOLDERID>> raceWinners;
  std::set<std::string> raceLosses;
  for (auto& worker : workers) {
    const int status = worker->Wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "worker status " << status << ", last report "
        << (worker->lines().empty() ? "" : worker->lines().back());
    ASSERT_FALSE(worker->lines().empty());
    EXPECT_EQ("end", worker->lines().back());
    for (const std::string& line : worker->lines()) {
      const std::vector<std::string> w = Words(line);
      if (w[0] == "+") {
        EXPECT_TRUE(model.emplace(Id(w[1]), Message{Id(w[2]), Id(w[3]), w[4]}).second)
            << "identifier " << w[1] << " given to two messages";
      } else if (w[0] == ">") {
        for (size_t i = 2; i < w.size(); ++i) model.at(Id(w[i])).folder = Id(w[1]);
      } else if (w[0] == "r") {
        model.at(Id(w[2])).read = Id(w[1]);
      } else if (w[0] == "folder") {
        ownFolders.insert(Id(w[1]));
      } else if (w[0] == "race") {
        raceWinners["Race-" + w[1]].push_back(Id(w[2]));
      } else if (w[0] == "lost") {
        raceLosses.insert("Race-" + w[1]);
      }
    }
  }
  std::printf("%d snapshots read while %zu messages were made\n", snapshots, model.size());
  EXPECT_GT(snapshots, 2);

  // What the store holds.
  ComPtr<IStoreImport> import;
  ASSERT_EQ(S_OK, store_.As(&import));
  std::vector<FolderRow> folders;
  ASSERT_EQ(S_OK, ListFolders(store_.Get(), parent, &folders));
  std::map<MESSAGEID, Message> stored;
  std::set<STOREFOLDERID> seenFolders;
  for (const FolderRow& row : folders) {
    seenFolders.insert(row.id);
    if (row.name.rfind("Race-", 0) == 0) {
      ASSERT_EQ(1u, raceWinners[row.name].size()) << row.name << " made twice or by nobody";
      EXPECT_EQ(raceWinners[row.name][0], row.id);
    }
    ComPtr<IStoreFolder> folder;
    ASSERT_EQ(S_OK, store_->OpenFolder(row.id, 0, folder.Put()));
    std::vector<MessageRow> messages;
    ASSERT_EQ(S_OK, ListMessages(folder.Get(), &messages));
    DWORD unread = 0;
    for (const MessageRow& m : messages) {
      std::string text;
      ASSERT_EQ(S_OK, ReadMessageText(folder.Get(), m.id, &text));
      stored[m.id] = {row.id, m.flags & MSGFLAG_READ, DigestHex(import.Get(), text)};
      unread += (m.flags & MSGFLAG_READ) == 0;
    }
    EXPECT_EQ(messages.size(), row.messages) << row.name;
    EXPECT_EQ(unread, row.unread) << row.name;
  }
  for (const std::string& name : raceLosses) {
    EXPECT_EQ(1u, raceWinners[name].size()) << name << " was lost to nobody";
  }
  for (STOREFOLDERID id : ownFolders) EXPECT_TRUE(seenFolders.count(id)) << "folder " << id;

  ASSERT_EQ(model.size(), stored.size());
  for (const auto& [id, expected] : model) {
    auto found = stored.find(id);
    ASSERT_NE(found, stored.end()) << "message " << id << " lost";
    EXPECT_EQ(expected.folder, found->second.folder) << "message " << id;
    EXPECT_EQ(expected.read, found->second.read) << "message " << id;
    EXPECT_EQ(expected.digest, found->second.digest) << "message " << id;
  }
  EXPECT_EQ("ok", IntegrityCheck(StoreFilePath()));
}

}  // namespace
}  // namespace store_stress
