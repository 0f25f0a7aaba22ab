// The test Dovecot killed (SIGKILL to all its processes) in the middle of an
// operation and started again: the call fails within the account's time
// limit with a reason, the next call connects anew, the server holds every
// message once, and the cache agrees with it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/failure_reason.h"
#include "platform/store_import.h"
#include "tests/services/imap/imap_fixture.h"
#include "tests/services/store/stress_support.h"

namespace imap_test {
namespace {

using testing::HasSubstr;
using Clock = std::chrono::steady_clock;

class ImapRestartTest : public ImapFixture {
 protected:
  void SetUp() override {
    ImapFixture::SetUp();
    SetValue("Timeout", "3");
  }
  void TearDown() override {
    Server().Start();  // for the tests after this one, whatever happened
    ImapFixture::TearDown();
  }

  // The folder's messages as the store lists them: identifier -> subject.
  static std::map<MESSAGEID, std::string> Listed(IStoreFolder* folder, HRESULT* hr) {
    std::vector<store_stress::MessageRow> rows;
    *hr = store_stress::ListMessages(folder, &rows);
    std::map<MESSAGEID, std::string> out;
    for (const auto& row : rows) EXPECT_TRUE(out.emplace(row.id, row.subject).second) << row.id;
    return out;
  }
  // Puts `count` messages "<prefix><n>" of about `size` bytes into `mailbox`.
  void Fill(const std::string& mailbox, const std::string& prefix, int count, size_t size) {
    std::mt19937_64 random(38);
    std::vector<std::string> texts;
    for (int i = 0; i < count; ++i) {
      texts.push_back(store_stress::MakeStressMessage(prefix + std::to_string(i), size, random));
    }
    std::vector<vorn_imap::ImapClient::Appended> sending;
    for (const std::string& text : texts) sending.push_back({&text, false, 0});
    std::vector<HRESULT> results;
    std::vector<uint32_t> uids;
    uint32_t validity = 0;
    ASSERT_EQ(OtherClient()->AppendPipelined(mailbox, sending, &results, &uids, &validity), S_OK);
  }
};

// For each operation the server is killed once it is under way: when
// `underWay` first holds, or (without one) while the operation waits for a
// server stopped before it began. Each round fills its source folder with
// `fill` messages first.
TEST_F(ImapRestartTest, AServerKilledMidOperationFailsTheCallAndTheNextCallReconnects) {
  ComPtr<IStoreNamespace> ns = Open();
  ComPtr<IStoreImport> import;
  ASSERT_EQ(ns.As(&import), S_OK);
  std::unique_ptr<vorn_imap::ImapCache> cache = OpenCache();
  ASSERT_TRUE(cache);
  // The round's folders, the messages listed before it began, and a client
  // that watches the server.
  std::string from, to;
  STOREFOLDERID fromId = 0, toId = 0;
  std::vector<MESSAGEID> before;
  std::unique_ptr<vorn_imap::ImapClient> watcher;
  struct Case {
    const char* operation;
    int fill;
    std::function<HRESULT(IStoreFolder* source, IStoreFolder* destination)> run;
    std::function<bool()> underWay;
  };
  const Case cases[] = {
      // More messages than the store fetches ahead of its parsing (runs of
      // 512, eight ahead): when the first reach the cache, some are still
      // to be fetched.
      {"listing a folder new to the cache", 8000,
       [](IStoreFolder* source, IStoreFolder*) {
         HRESULT hr = E_FAIL;
         Messages(source, &hr);
         return hr;
       },
       [&] {  // the first of its messages are in the cache
         std::vector<vorn_store::MessageInfo> cached;
         return SUCCEEDED(cache->ListMessageInfo(fromId, 1, 1, &cached)) && !cached.empty();
       }},
      {"appending a batch", 0,
       [&](IStoreFolder*, IStoreFolder*) {
         std::mt19937_64 random(38);
         HBATCHLOCK batch = 0;
         HRESULT hr = import->BeginBatch(&batch);
         for (int i = 0; SUCCEEDED(hr) && i < 1000; ++i) {
           std::string text = store_stress::MakeStressMessage("batch-" + std::to_string(i),
                                                              4000, random);
           hr = import->ImportMessage(batch, toId, reinterpret_cast<const BYTE*>(text.data()),
                                      static_cast<ULONG>(text.size()), nullptr, 0, nullptr);
         }
         return SUCCEEDED(hr) ? import->CommitBatch(batch) : hr;
       },
       [&] {  // the server has stored the first of them
         vorn_imap::MailboxStatus status;
         return SUCCEEDED(watcher->Status(to, &status)) && status.messages > 0;
       }},
      {"reading a message", 3,
       [&](IStoreFolder* source, IStoreFolder*) {
         ComPtr<IStream> stream;
         return source->OpenMessage(before.at(0), IID_IStream, stream.PutVoid());
       },
       nullptr},
      {"moving messages", 3,
       [&](IStoreFolder* source, IStoreFolder* destination) {
         MESSAGEIDLIST list{CB_MESSAGEIDLIST, static_cast<ULONG>(before.size()), before.data()};
         return ns->CopyMoveMessages(source, destination, &list, CMF_MOVE, 0, nullptr);
       },
       nullptr},
  };
  std::map<MESSAGEID, std::string> named;  // every identifier the store showed
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.operation);
    const std::string prefix = "m" + std::to_string(++round) + "-";
    from = "From" + std::to_string(round);
    to = "To" + std::to_string(round);
    ComPtr<IStoreFolder> source = MakeFolder(ns.Get(), from, &fromId);
    ComPtr<IStoreFolder> destination = MakeFolder(ns.Get(), to, &toId);
    ASSERT_TRUE(source && destination);
    Fill(from, prefix, c.fill, 1000);
    if (c.underWay) {
      watcher = OtherClient();
    } else {
      HRESULT hr = E_FAIL;
      before.clear();
      for (const auto& m : Messages(source.Get(), &hr)) before.push_back(m.first);
      ASSERT_EQ(hr, S_OK);
      Server().Pause();
    }
    std::atomic<bool> done{false};
    std::thread killer([&] {
      if (c.underWay) {
        while (!done && !c.underWay()) std::this_thread::sleep_for(std::chrono::microseconds(200));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
      }
      Server().Kill();
    });
    VornSetFailureReason(nullptr);
    Clock::time_point start = Clock::now();
    HRESULT hr = c.run(source.Get(), destination.Get());
    Clock::duration took = Clock::now() - start;
    done = true;
    killer.join();
    watcher.reset();
    EXPECT_LT(hr, 0) << "the call failed";
    EXPECT_THAT(Reason(), HasSubstr("127.0.0.1"));
    EXPECT_LT(took, std::chrono::seconds(20));

    ASSERT_TRUE(Server().Start()) << Server().error();
    int filled = 0;
    for (const auto& [folder, mailbox] : {std::pair{source.Get(), from}, {destination.Get(), to}}) {
      SCOPED_TRACE(mailbox);
      std::map<MESSAGEID, std::string> listed = Listed(folder, &hr);
      ASSERT_EQ(hr, S_OK) << "the next call connects anew: " << Reason();
      std::map<std::string, int> onServer;
      for (const std::string& subject : SubjectsOnServer(mailbox)) ++onServer[subject];
      std::map<std::string, int> inCache;
      for (const auto& [id, subject] : listed) {
        ++inCache[subject];
        EXPECT_EQ(named.emplace(id, subject).first->second, subject)
            << "identifier " << id << " named another message";
      }
      EXPECT_EQ(inCache, onServer) << "the cache agrees with the server";
      for (const auto& [subject, count] : onServer) {
        EXPECT_EQ(count, 1) << subject << " stored twice";
        filled += subject.rfind(prefix, 0) == 0 ? count : 0;
      }
    }
    EXPECT_EQ(filled, c.fill) << "messages lost";
  }
}

}  // namespace
}  // namespace imap_test
