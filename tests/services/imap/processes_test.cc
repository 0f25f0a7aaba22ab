// Two programs on one account and one root at once: each imports batches
// and stores messages into one folder while it lists it, with one message
// text that both import. The cache file and the server are shared.

#include <gtest/gtest.h>
#include <sys/stat.h>

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
using Named = std::map<MESSAGEID, std::string>;

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
  // Without UIDPLUS a moved message gets a new identifier at the next listing.
  const bool newOnMove = std::string(kVariant) == "vornimapPlain";
  ASSERT_EQ(S_OK, RegisterLibrary(vorn_test::BinDir() + "/vornimap.so"));
  STOREFOLDERID folderId = 0, movedId = 0;
  {
    ComPtr<IStoreNamespace> ns = Open();
    ASSERT_TRUE(MakeFolder(ns.Get(), "Shared", &folderId));
    ASSERT_TRUE(MakeFolder(ns.Get(), "Moved", &movedId));
  }
  const std::string barrier = root_.path() + "/barrier";
  ASSERT_EQ(0, mkdir(barrier.c_str(), 0700));
  const char* const tags[] = {"peerA", "peerB"};
  vorn_test::ProgramResult results[2];
  std::thread peers[2];
  for (int p = 0; p < 2; ++p) {
    peers[p] = std::thread([&, p] {
      results[p] = vorn_test::RunProgram(vorn_test::BinDir() + "/imap_peer",
                                         {tags[p], std::to_string(folderId),
                                          std::to_string(movedId), std::to_string(kRounds),
                                          barrier},
                                         "", 120);
    });
  }
  for (auto& peer : peers) peer.join();

  // What the programs stored and moved.
  Named stored;
  std::set<MESSAGEID> moved;
  for (const auto& result : results) EXPECT_EQ(result.status, 0) << result.out << result.err;
  if (HasFailure()) return;
  for (const auto& result : results) {
    EXPECT_EQ(result.err.find("locked"), std::string::npos) << result.err;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
      if (line[0] == '>') moved.insert(static_cast<MESSAGEID>(std::stoul(line.substr(2))));
      if (line[0] != '+') continue;
      size_t space = line.find(' ', 2);
      MESSAGEID id = static_cast<MESSAGEID>(std::stoul(line.substr(2, space - 2)));
      EXPECT_TRUE(stored.emplace(id, line.substr(space + 1)).second) << "given twice: " << id;
    }
  }
  ASSERT_EQ(stored.size(), 2u * 4 * kRounds);
  Named staying;
  std::multiset<std::string> stayingSubjects, movedSubjects;
  for (const auto& [id, subject] : stored) {
    if (moved.count(id)) {
      movedSubjects.insert(subject);
    } else {
      staying.emplace(id, subject);
      stayingSubjects.insert(subject);
    }
  }

  // In every listing of either program an identifier names one message, and
  // what the program itself stored or moved there is listed; the last
  // listings show the other's messages too.
  Named named = stored;
  for (const auto& result : results) {
    std::set<MESSAGEID> own, ownMoved;
    std::istringstream lines(result.out);
    Listing lastShared, lastMoved;
    for (std::string line; std::getline(lines, line);) {
      if (line[0] == '+' || line[0] == '>') {
        MESSAGEID id = static_cast<MESSAGEID>(std::stoul(line.substr(2)));
        if (line[0] == '>') own.erase(id);
        (line[0] == '+' ? own : ownMoved).insert(id);
        continue;
      }
      if (line.empty() || std::string("LZMY").find(line[0]) == std::string::npos) continue;
      const bool inMoved = line[0] == 'M' || line[0] == 'Y';
      Listing listing = ParseListing(line);
      std::set<MESSAGEID> listed;
      for (const auto& [id, subject] : listing) {
        EXPECT_TRUE(listed.insert(id).second) << "listed twice: " << id;
        if (!(inMoved && newOnMove)) {
          EXPECT_TRUE(stored.count(id)) << "an identifier nobody stored: " << id;
        }
        EXPECT_EQ(named.emplace(id, subject).first->second, subject)
            << "identifier " << id << " names another message";
      }
      if (!(inMoved && newOnMove)) {
        for (MESSAGEID id : inMoved ? ownMoved : own) {
          EXPECT_TRUE(listed.count(id)) << "lost from the listing: " << id;
        }
      }
      (line[0] == 'Z' ? lastShared : line[0] == 'Y' ? lastMoved : listing) = listing;
    }
    EXPECT_EQ(Named(lastShared.begin(), lastShared.end()), staying);
    std::multiset<std::string> subjects;
    for (const auto& entry : lastMoved) subjects.insert(entry.second);
    EXPECT_EQ(subjects, movedSubjects);
  }

  // The server holds what the programs stored, once each (the shared text
  // once per program), and the cache, read as it is, agrees.
  std::vector<std::string> onServer = SubjectsOnServer("Shared");
  EXPECT_EQ(std::multiset<std::string>(onServer.begin(), onServer.end()), stayingSubjects);
  onServer = SubjectsOnServer("Moved");
  EXPECT_EQ(std::multiset<std::string>(onServer.begin(), onServer.end()), movedSubjects);
  std::unique_ptr<vorn_imap::ImapCache> cache = OpenCache();
  ASSERT_TRUE(cache);
  std::vector<vorn_store::MessageInfo> cached;
  ASSERT_EQ(cache->ListMessageInfo(folderId, 1, SIZE_MAX, &cached), S_OK);
  Named inCache;
  for (const auto& m : cached) inCache.emplace(m.id, m.subject);
  EXPECT_EQ(inCache, staying);
  if (HasFailure()) {
    for (const auto& result : results) ADD_FAILURE() << "a program wrote:\n" << result.out;
  }
}

}  // namespace
}  // namespace imap_test
