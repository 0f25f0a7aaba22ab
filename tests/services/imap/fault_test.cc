// The IMAP store against servers that fail: hostile ones scripted here on a
// loopback socket, and the test Dovecot behind a proxy that cuts the
// connection at chosen points (a server killed or restarted mid-command).

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/failure_reason.h"
#include "platform/runtime.h"
#include "services/imap/account.h"
#include "services/imap/imap_client.h"
#include "tests/services/imap/imap_fixture.h"
#include "tests/support/loopback_server.h"

namespace imap_test {
namespace {

using testing::HasSubstr;
using vorn_test::CuttingProxy;
using vorn_test::ReadLine;
using vorn_test::ScriptedServer;
using vorn_test::SendAll;
using Clock = std::chrono::steady_clock;

// Answers the client's commands as a plain IMAP server with one message in
// INBOX would, up to the UID FETCH, which `fetch` answers.
void UpToFetch(int fd, const std::function<void(int, const std::string&)>& fetch) {
  if (!SendAll(fd, "* OK [CAPABILITY IMAP4rev1] ready\r\n")) return;
  for (std::string line; !(line = ReadLine(fd)).empty();) {
    std::string tag = line.substr(0, line.find(' '));
    if (line.find("LOGIN") != std::string::npos) {
      SendAll(fd, tag + " OK logged in\r\n");
    } else if (line.find("CAPABILITY") != std::string::npos) {
      SendAll(fd, "* CAPABILITY IMAP4rev1\r\n" + tag + " OK done\r\n");
    } else if (line.find("SELECT") != std::string::npos) {
      SendAll(fd, "* 1 EXISTS\r\n* OK [UIDVALIDITY 7] v\r\n* OK [UIDNEXT 2] n\r\n" + tag +
                      " OK [READ-WRITE] selected\r\n");
    } else if (line.find("FETCH") != std::string::npos) {
      fetch(fd, tag);
      return;
    } else {
      SendAll(fd, tag + " OK\r\n");
    }
  }
}

// Sends `head`, then `fill` bytes of filler in blocks for as long as the
// client reads; *sent gets how many the client took.
void Flood(int fd, const std::string& head, size_t fill, std::atomic<size_t>* sent) {
  if (!SendAll(fd, head)) return;
  std::string block(1 << 16, 'x');
  for (size_t done = 0; done < fill; done += block.size()) {
    if (!SendAll(fd, block)) return;
    *sent += block.size();
  }
}

long PeakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Each hostile server is refused with its reason, within the time limit,
// without reading what it floods.
TEST(HostileServer, IsRefusedWithAReasonAndBoundedMemory) {
  std::atomic<size_t> flooded{0};
  const struct {
    const char* what;
    std::function<void(int)> script;
    bool connects;  // the failure comes at the FETCH, after a good login
    HRESULT status;
    const char* reason;
  } cases[] = {
      {"garbage for a greeting", [](int fd) { SendAll(fd, "HTTP/1.1 400 Bad Request\r\n\r\n"); },
       false, vorn_imap::IMAP_E_PROTOCOL, "not IMAP"},
      {"garbage for an answer",
       [](int fd) {
         SendAll(fd, "* OK ready\r\n");
         ReadLine(fd);
         SendAll(fd, "\x01\x02\x03 (((\r\n");
       },
       false, vorn_imap::IMAP_E_PROTOCOL, "not IMAP"},
      {"closes after the greeting", [](int fd) { SendAll(fd, "* OK ready\r\n"); }, false,
       vorn_imap::IMAP_E_UNREACHABLE, "closed the connection"},
      {"keeps silent after the greeting",
       [](int fd) {
         SendAll(fd, "* OK ready\r\n");
         ReadLine(fd);
         ReadLine(fd);  // until the client gives up
       },
       false, vorn_imap::IMAP_E_TIMEOUT, "did not answer within 1 s"},
      {"announces a literal of five gigabytes",
       [&](int fd) {
         UpToFetch(fd, [&](int fd, const std::string&) {
           Flood(fd, "* 1 FETCH (UID 1 FLAGS () INTERNALDATE \"01-Jan-2026 00:00:00 +0000\" "
                     "BODY[] {5000000000}\r\n",
                 size_t{256} << 20, &flooded);
         });
       },
       true, vorn_imap::IMAP_E_PROTOCOL, "literal of 5000000000 bytes"},
      {"closes inside a literal",
       [&](int fd) {
         UpToFetch(fd, [&](int fd, const std::string&) {
           SendAll(fd, "* 1 FETCH (UID 1 FLAGS () INTERNALDATE \"01-Jan-2026 00:00:00 +0000\" "
                       "BODY[] {100}\r\nonly the start");
         });
       },
       true, vorn_imap::IMAP_E_UNREACHABLE, "was lost"},
      {"sends an endless line",
       [&](int fd) {
         UpToFetch(fd, [&](int fd, const std::string&) {
           Flood(fd, "* 1 FETCH (UID 1 FLAGS (", size_t{256} << 20, &flooded);
         });
       },
       true, vorn_imap::IMAP_E_PROTOCOL, "line of more than"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    flooded = 0;
    long peakBefore = PeakKilobytes();
    ScriptedServer server(c.script);
    vorn_imap::Account account;
    account.server = "127.0.0.1";
    account.port = server.port();
    account.user = "someone";
    account.password = "secret";
    account.timeoutSeconds = 1;
    vorn_imap::ImapClient client;
    VornSetFailureReason(nullptr);
    Clock::time_point start = Clock::now();
    HRESULT hr = client.Connect(account);
    if (c.connects) {
      ASSERT_EQ(hr, S_OK);
      ASSERT_EQ(client.Select("INBOX"), S_OK);
      std::vector<vorn_imap::FetchedMessage> fetched;
      hr = client.Fetch({1}, true, 0, &fetched);
    }
    EXPECT_EQ(hr, c.status);
    EXPECT_THAT(Reason(), HasSubstr(c.reason));
    EXPECT_THAT(Reason(), HasSubstr("127.0.0.1"));
    EXPECT_FALSE(client.connected());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
    client.Disconnect();
    // The client stopped reading at once: the server got rid of no more
    // than the socket buffers and the 16 MiB line limit hold.
    EXPECT_LT(flooded.load(), size_t{48} << 20);
    EXPECT_LT(PeakKilobytes() - peakBefore, 128 * 1024);
  }
}

// The account reaches the test Dovecot through a proxy that cuts connections.
class ImapFaultTest : public ImapFixture {
 protected:
  void SetUp() override {
    ImapFixture::SetUp();
    proxy_ = std::make_unique<CuttingProxy>(Server().port());
    SetValue("Port", std::to_string(proxy_->port()));
    SetValue("Timeout", "3");
  }
  void TearDown() override {
    proxy_.reset();
    ImapFixture::TearDown();
  }

  std::unique_ptr<CuttingProxy> proxy_;
};

// A server restarted between two calls costs nothing; one that is down
// fails the call with a reason, and the first call after it is back works.
TEST_F(ImapFaultTest, ALostConnectionIsMadeAgainOnTheNextCall) {
  ComPtr<IStoreNamespace> ns = Open();
  ComPtr<IStoreFolder> inbox = MakeFolder(ns.Get(), "Steady");
  ASSERT_TRUE(inbox);
  MESSAGEID id = 0;
  ASSERT_EQ(Add(inbox.Get(), "kept", &id), S_OK);
  HRESULT hr = E_FAIL;
  auto before = Messages(inbox.Get(), &hr);

  proxy_->CutAll();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Messages(inbox.Get(), &hr), before) << "listed again on a new connection";
  EXPECT_EQ(hr, S_OK) << Reason();

  proxy_->Refuse(true);
  proxy_->CutAll();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  VornSetFailureReason(nullptr);
  Clock::time_point start = Clock::now();
  Messages(inbox.Get(), &hr);
  EXPECT_LT(hr, 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  EXPECT_THAT(Reason(), HasSubstr("127.0.0.1"));
  proxy_->Refuse(false);
  EXPECT_EQ(Messages(inbox.Get(), &hr), before);
  EXPECT_EQ(hr, S_OK) << Reason();
}

// The server acts on a command and the connection dies before its answer:
// the call may fail, but the next listing is right, and the server holds
// each message once (an append in doubt is looked for, not sent again).
TEST_F(ImapFaultTest, ACommandWhoseAnswerIsLostStoresNothingTwiceAndLosesNothing) {
  const struct {
    const char* command;
    const char* operation;
    size_t source, destination;  // messages on the server afterwards
    bool sourceSeen;
  } cases[] = {
      {"APPEND", "append", 2, 0, false},
      {"UID COPY", "copy", 1, 1, false},
      {"UID MOVE", "move", 0, 1, false},
      {"UID EXPUNGE", "remove", 0, 0, false},
      {"UID STORE", "mark", 1, 0, true},
  };
  ComPtr<IStoreNamespace> ns = Open();
  std::set<MESSAGEID> everSeen;
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    std::string src = "Src" + std::to_string(++round), dst = "Dst" + std::to_string(round);
    STOREFOLDERID srcId = 0, dstId = 0;
    ASSERT_EQ(ns->CreateFolder(FOLDERID_ROOT, src.c_str(), 0, &srcId), S_OK);
    ASSERT_EQ(ns->CreateFolder(FOLDERID_ROOT, dst.c_str(), 0, &dstId), S_OK);
    ComPtr<IStoreFolder> from, to;
    ASSERT_EQ(ns->OpenFolder(srcId, 0, from.Put()), S_OK);
    ASSERT_EQ(ns->OpenFolder(dstId, 0, to.Put()), S_OK);
    MESSAGEID id = 0;
    ASSERT_EQ(Add(from.Get(), "one", &id), S_OK);
    everSeen.insert(id);

    proxy_->CutAfter(c.command);
    MESSAGEIDLIST list{CB_MESSAGEIDLIST, 1, &id};
    std::string operation = c.operation;
    MESSAGEID added = 0;
    HRESULT hr = S_OK;
    Clock::time_point start = Clock::now();
    if (operation == "append") {
      hr = Add(from.Get(), "two", &added);
      EXPECT_EQ(hr, S_OK) << "the message in doubt was found stored: " << Reason();
    } else if (operation == "copy" || operation == "move") {
      hr = ns->CopyMoveMessages(from.Get(), to.Get(), &list, operation == "move" ? CMF_MOVE : 0,
                                0, nullptr);
    } else if (operation == "remove") {
      hr = from->DeleteMessages(&list, 0, nullptr);
    } else {
      hr = from->MarkMessagesAsRead(TRUE, 0, &list);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(proxy_->cut());
    proxy_->CutAfter("");

    EXPECT_EQ(OnServer(src).size(), c.source);
    EXPECT_EQ(OnServer(dst).size(), c.destination);
    if (c.sourceSeen) {
      EXPECT_TRUE(OnServer(src).at(0).second);
    }
    HRESULT listed = E_FAIL;
    auto inSource = Messages(from.Get(), &listed);
    ASSERT_EQ(listed, S_OK) << Reason();
    auto inDestination = Messages(to.Get(), &listed);
    ASSERT_EQ(listed, S_OK) << Reason();
    EXPECT_EQ(inSource.size(), c.source) << "the cache agrees with the server";
    EXPECT_EQ(inDestination.size(), c.destination);
    if (added) {
      EXPECT_EQ(std::count_if(inSource.begin(), inSource.end(),
                              [&](const auto& m) { return m.first == added; }),
                1);
    }
    if (c.sourceSeen) {
      EXPECT_EQ(inSource.at(0).second & MSGFLAG_READ, MSGFLAG_READ);
    }
    for (const auto* listing : {&inSource, &inDestination}) {
      for (const auto& [listedId, flags] : *listing) {
        bool known = everSeen.count(listedId) > 0;
        bool fresh = listedId == added || operation == "copy" || operation == "move";
        EXPECT_TRUE(known || fresh) << listedId;
        everSeen.insert(listedId);
      }
    }
  }
}

// Another client changes the account between the store's listing and its
// next calls: what vanished reads as not found and refuses changes, the
// next listing shows the server's state, and no identifier comes back.
TEST_F(ImapFaultTest, ChangesFromAnotherClientBetweenListingAndReads) {
  using vorn_imap::ImapClient;
  const struct {
    const char* change;
    std::function<void(ImapClient*, const std::string&, uint32_t)> act;
    bool vanishes;  // the victim is no longer in the folder
  } cases[] = {
      {"removes it",
       [](ImapClient* other, const std::string&, uint32_t uid) {
         ASSERT_EQ(other->Store({uid}, ImapClient::Flag::kDeleted, true), S_OK);
         ASSERT_EQ(other->Expunge({uid}), S_OK);
       },
       true},
      {"moves it",
       [](ImapClient* other, const std::string&, uint32_t uid) {
         std::vector<std::pair<uint32_t, uint32_t>> pairs;
         uint32_t validity = 0;
         ASSERT_EQ(other->Copy({uid}, "Elsewhere", true, &pairs, &validity), S_OK);
       },
       true},
      {"flags it",
       [](ImapClient* other, const std::string&, uint32_t uid) {
         ASSERT_EQ(other->Store({uid}, ImapClient::Flag::kSeen, true), S_OK);
       },
       false},
      {"renames its folder",
       [](ImapClient* other, const std::string& mailbox, uint32_t) {
         ASSERT_EQ(other->Rename(mailbox, mailbox + "-renamed"), S_OK);
       },
       true},
  };
  ComPtr<IStoreNamespace> ns = Open();
  STOREFOLDERID elsewhere = 0;
  ASSERT_EQ(ns->CreateFolder(FOLDERID_ROOT, "Elsewhere", 0, &elsewhere), S_OK);
  std::set<MESSAGEID> handedOut, inElsewhere;
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    std::string mailbox = "Watched" + std::to_string(++round);
    ComPtr<IStoreFolder> folder = MakeFolder(ns.Get(), mailbox.c_str());
    ASSERT_TRUE(folder);
    MESSAGEID victim = 0, bystander = 0;
    ASSERT_EQ(Add(folder.Get(), "victim", &victim), S_OK);
    ASSERT_EQ(Add(folder.Get(), "bystander", &bystander), S_OK);
    handedOut.insert({victim, bystander});
    HRESULT hr = E_FAIL;
    ASSERT_EQ(Messages(folder.Get(), &hr).size(), 2u);

    auto other = OtherClient();
    ASSERT_EQ(other->Select(mailbox), S_OK);
    std::vector<vorn_imap::FetchedMessage> all;
    ASSERT_EQ(other->Fetch({}, false, 0, &all), S_OK);
    ASSERT_EQ(all.size(), 2u);
    c.act(other.get(), mailbox, all[0].uid);

    ComPtr<IStream> stream;
    HRESULT read = folder->OpenMessage(victim, IID_IStream, stream.PutVoid());
    MESSAGEIDLIST list{CB_MESSAGEIDLIST, 1, &victim};
    HRESULT marked = folder->MarkMessagesAsRead(TRUE, 0, &list);
    if (c.vanishes) {
      EXPECT_LT(read, 0);
      EXPECT_EQ(stream.Get(), nullptr);
      EXPECT_LT(marked, 0) << "a change to a message that is gone";
    } else {
      EXPECT_EQ(read, S_OK);
      EXPECT_EQ(marked, S_OK);
    }
    auto listed = Messages(folder.Get(), &hr);
    if (std::string(c.change) == "renames its folder") {
      EXPECT_LT(hr, 0) << "the folder's mailbox is gone";
    } else {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(listed.size(), c.vanishes ? 1u : 2u);
      EXPECT_EQ(listed.at(c.vanishes ? 0 : 1).first, bystander);
    }
    // What turned up elsewhere got an identifier never handed out before.
    ComPtr<IStoreFolder> there;
    ASSERT_EQ(ns->OpenFolder(elsewhere, 0, there.Put()), S_OK);
    for (const auto& m : Messages(there.Get(), &hr)) {
      if (inElsewhere.insert(m.first).second) {
        EXPECT_EQ(handedOut.count(m.first), 0u) << m.first;
      }
    }
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(inElsewhere.size(), round >= 2 ? 1u : 0u);
  }
}

// Two stores on one account and one cache (as two processes have): what
// each appends, at the same time, the other lists, under the same
// identifier, and nothing is lost.
TEST_F(ImapFaultTest, TwoStoresOnOneCacheSeeEachOthersMessages) {
  ComPtr<IStoreNamespace> first = Open();
  STOREFOLDERID folderId = 0;
  ASSERT_EQ(first->CreateFolder(FOLDERID_ROOT, "Together", 0, &folderId), S_OK);
  constexpr int kEach = 12;
  std::vector<MESSAGEID> added[2];
  std::thread workers[2];
  for (int w = 0; w < 2; ++w) {
    workers[w] = std::thread([&, w] {
      CoInitialize(nullptr);
      {
        ComPtr<IStoreNamespace> ns = Open();
        ComPtr<IStoreFolder> folder;
        ASSERT_EQ(ns->OpenFolder(folderId, 0, folder.Put()), S_OK);
        for (int i = 0; i < kEach; ++i) {
          MESSAGEID id = 0;
          EXPECT_EQ(Add(folder.Get(), "w" + std::to_string(w) + "-" + std::to_string(i), &id),
                    S_OK);
          added[w].push_back(id);
          HRESULT hr = E_FAIL;
          Messages(folder.Get(), &hr);  // listings race with the other's appends
          EXPECT_EQ(hr, S_OK);
        }
      }
      CoUninitialize();
    });
  }
  for (auto& worker : workers) worker.join();
  std::vector<MESSAGEID> expected(added[0]);
  expected.insert(expected.end(), added[1].begin(), added[1].end());
  std::sort(expected.begin(), expected.end());
  ComPtr<IStoreNamespace> second = Open();
  for (IStoreNamespace* ns : {first.Get(), second.Get()}) {
    ComPtr<IStoreFolder> folder;
    ASSERT_EQ(ns->OpenFolder(folderId, 0, folder.Put()), S_OK);
    HRESULT hr = E_FAIL;
    std::vector<MESSAGEID> ids;
    for (const auto& m : Messages(folder.Get(), &hr)) ids.push_back(m.first);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(ids, expected);
  }
  EXPECT_EQ(OnServer("Together").size(), expected.size());
}

}  // namespace
}  // namespace imap_test
