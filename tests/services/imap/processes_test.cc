// Two programs on one account and one root at once: each imports batches
// and stores messages into one folder while it lists it, with one message
// text that both import. The cache file and the server are shared.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/hosts/run_program.h"
#include "tests/services/imap/imap_fixture.h"

namespace imap_test {
namespace {

using Listing = std::vector<std::pair<MESSAGEID, std::string>>;

// "L 4:a 7:b" -> {(4, a), (7, b)}.
Listing ParseListing(const std::string& line) {
  Listing out;
  std::istringstream in(line.substr(1));
  for (std::string word; in >> word;) {
    size_t colon = word.find(':');
    out.emplace_back(static_cast<MESSAGEID>(std::stoul(word.substr(0, colon))),
                     word.substr(colon + 1));
  }
  return out;
}

using ImapProcessesTest = ImapFixture;

TEST_F(ImapProcessesTest, TwoProgramsOnOneCacheLoseNothingAndShareIdentifiers) {
  constexpr int kRounds = 6;
  ASSERT_EQ(S_OK, RegisterLibrary(vorn_test::BinDir() + "/vornimap.so"));
  STOREFOLDERID folderId = 0;
  {
    ComPtr<IStoreNamespace> ns = Open();
    ASSERT_TRUE(MakeFolder(ns.Get(), "Shared", &folderId));
  }
  const std::string barrier = root_.path() + "/barrier";
  ASSERT_EQ(0, mkdir(barrier.c_str(), 0700));
  const char* const tags[] = {"peerA", "peerB"};
  vorn_test::ProgramResult results[2];
  std::thread peers[2];
  for (int p = 0; p < 2; ++p) {
    peers[p] = std::thread([&, p] {
      results[p] = vorn_test::RunProgram(
          vorn_test::BinDir() + "/imap_peer",
          {tags[p], std::to_string(folderId), std::to_string(kRounds), barrier}, "", 120);
    });
  }
  for (auto& peer : peers) peer.join();

  // Every identifier names one message, in every listing of either program.
  std::map<MESSAGEID, std::string> stored;
  std::multiset<std::string> expected;
  for (const auto& result : results) {
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err.find("locked"), std::string::npos) << result.err;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("+ ", 0) != 0) continue;
      size_t space = line.find(' ', 2);
      MESSAGEID id = static_cast<MESSAGEID>(std::stoul(line.substr(2, space - 2)));
      EXPECT_TRUE(stored.emplace(id, line.substr(space + 1)).second) << "given twice: " << id;
      expected.insert(line.substr(space + 1));
    }
  }
  ASSERT_EQ(stored.size(), 2u * 4 * kRounds);
  for (const auto& result : results) {
    std::set<MESSAGEID> own;  // what this program stored so far
    std::istringstream lines(result.out);
    Listing last;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("+ ", 0) == 0) own.insert(static_cast<MESSAGEID>(std::stoul(line.substr(2))));
      if (line[0] != 'L' && line[0] != 'Z') continue;
      last = ParseListing(line);
      std::set<MESSAGEID> listed;
      for (const auto& [id, subject] : last) {
        EXPECT_TRUE(listed.insert(id).second) << "listed twice: " << id;
        auto found = stored.find(id);
        ASSERT_NE(found, stored.end()) << "an identifier nobody stored: " << id << "\n" << result.out;
        EXPECT_EQ(found->second, subject) << "identifier " << id << " names another message";
      }
      for (MESSAGEID id : own) EXPECT_TRUE(listed.count(id)) << "lost from the listing: " << id;
    }
    EXPECT_EQ(last.size(), stored.size()) << "the last listing shows the other's messages";
  }

  // The server holds what the programs stored, once each (the shared text
  // once per program), and the cache, read as it is, agrees.
  std::vector<std::string> onServer = SubjectsOnServer("Shared");
  EXPECT_EQ(std::multiset<std::string>(onServer.begin(), onServer.end()), expected);
  std::unique_ptr<vorn_imap::ImapCache> cache = OpenCache();
  ASSERT_TRUE(cache);
  std::vector<vorn_imap::CachedMessage> cached;
  ASSERT_EQ(cache->ListMessages(folderId, &cached), S_OK);
  std::map<MESSAGEID, std::string> inCache;
  for (const auto& m : cached) inCache.emplace(m.info.id, m.info.subject);
  EXPECT_EQ(inCache, stored);
}

}  // namespace
}  // namespace imap_test
