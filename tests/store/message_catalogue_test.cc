// The message catalogue of CMailStore: making a folder current, the cached
// message list, the queries by index and the text of message times.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "tests/fakes/fault_sweep.h"
#include "tests/store/mail_world.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing::SizeIs;
using vorn_test::MailWorld;
using vorn_test::Subjects;
using Peer = MailStoreTestPeer;

// Days from 1601-01-01 to the given proleptic Gregorian date.
int64_t DaysSince1601(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t daysSince1970 = era * 146097 + doe - 719468;
  return daysSince1970 + 134774;  // 1601-01-01 .. 1970-01-01
}

FILETIME Ticks(uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

FILETIME At(int y, int mo, int d, int h, int mi, int s, uint64_t extraTicks = 0) {
  const int64_t seconds = DaysSince1601(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
  return Ticks(static_cast<uint64_t>(seconds) * 10000000u + extraTicks);
}

struct MessageWorld : MailWorld {
  MessageWorld() {
    inbox = store.AddFolder(FOLDERID_ROOT, "Inbox", FOLDER_INBOX).id;
    other = store.AddFolder(FOLDERID_ROOT, "Other").id;
    EXPECT_EQ(mail->OpenSession(), 1);
  }
  void Add(STOREFOLDERID folder, const char* subject) {
    store.AddMessage(folder).subject = subject;
  }
  int32_t SetFolder(STOREFOLDERID folder) { return mail->SetFolder(static_cast<int32_t>(folder)); }
  STOREFOLDERID inbox = 0, other = 0;
};

TEST(MessageTimes, TextIsTheCalendarInstantInPlainNumbers) {
  struct Case {
    const char* name;
    FILETIME time;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"zero", Ticks(0), "1601-1-1 0:0:0"},
      {"single digits", At(2005, 1, 3, 9, 5, 3), "2005-1-3 9:5:3"},
      {"zero second", At(2007, 10, 28, 17, 40, 0), "2007-10-28 17:40:0"},
      {"fractions are cut", At(2007, 10, 28, 17, 40, 0, 9999999), "2007-10-28 17:40:0"},
      {"leap day of a 400th year", At(2000, 2, 29, 12, 0, 0), "2000-2-29 12:0:0"},
      {"leap day", At(2004, 2, 29, 23, 59, 59), "2004-2-29 23:59:59"},
      {"1900 has no leap day", At(1900, 2, 28, 0, 0, 0 + 86400), "1900-3-1 0:0:0"},
      {"end of a leap year", At(2008, 12, 31, 1, 2, 3), "2008-12-31 1:2:3"},
      {"last second of 9999", At(9999, 12, 31, 23, 59, 59), "9999-12-31 23:59:59"},
      {"largest convertible value", Ticks(0x7FFFFFFFFFFFFFFFull), "30828-9-14 2:48:5"},
      {"2^63", Ticks(0x8000000000000000ull), ""},
      {"all ones", Ticks(0xFFFFFFFFFFFFFFFFull), ""},
  };
  MessageWorld w;
  for (const Case& c : cases) {
    vorn_fakes::FakeMessage& m = w.store.AddMessage(w.inbox);
    m.received = c.time;
    m.sent = c.time;
  }
  ASSERT_EQ(w.SetFolder(w.inbox), 1);
  ASSERT_EQ(w.mail->GetMessageCount(), static_cast<int32_t>(cases.size()));
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(w.mail->GetMessageReceivedTime(static_cast<int32_t>(i)), cases[i].text);
    EXPECT_EQ(w.mail->GetMessageSentTime(static_cast<int32_t>(i)), cases[i].text);
  }
  w.EndAndCheck();
}

TEST(MessageTimes, ReceivedAndSentAreEachTheirOwnAndIgnoreTheTimeZone) {
  MessageWorld w;
  vorn_fakes::FakeMessage& m = w.store.AddMessage(w.inbox);
  m.received = At(2005, 1, 3, 9, 5, 3);
  m.sent = At(2004, 12, 31, 23, 0, 1);
  ASSERT_EQ(w.SetFolder(w.inbox), 1);

  const char* saved = std::getenv("TZ");
  const std::optional<std::string> previous = saved ? std::optional<std::string>(saved)
                                                    : std::nullopt;
  for (const char* zone : {"UTC0", "America/New_York", "Asia/Kolkata", "NZST-12NZDT"}) {
    SCOPED_TRACE(zone);
    setenv("TZ", zone, 1);
    tzset();
    EXPECT_EQ(w.mail->GetMessageReceivedTime(0), "2005-1-3 9:5:3");
    EXPECT_EQ(w.mail->GetMessageSentTime(0), "2004-12-31 23:0:1");
  }
  if (previous) {
    setenv("TZ", previous->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  w.EndAndCheck();
}

TEST(MessageList, CopiesEachMessagesFieldsInStoreOrder) {
  MessageWorld w;
  vorn_fakes::FakeMessage& a = w.store.AddMessage(w.inbox);
  a.subject = "Re: Plans";
  a.normalSubject = "Plans";
  a.displayFrom = "Ann";
  a.displayTo = "Bob; Cy";
  a.language = 65001;
  const MESSAGEID aId = a.id;
  vorn_fakes::FakeMessage& b = w.store.AddMessage(w.inbox);
  b.subject = std::nullopt;  // the store leaves these pointers null
  b.displayFrom = std::nullopt;
  b.displayTo = std::nullopt;
  b.normalSubject = std::nullopt;
  const MESSAGEID bId = b.id;

  ASSERT_EQ(w.SetFolder(w.inbox), 1);
  ASSERT_EQ(w.mail->GetMessageCount(), 2);
  EXPECT_EQ(w.mail->GetMessageId(0), static_cast<int32_t>(aId));
  EXPECT_EQ(w.mail->GetMessageSubject(0), "Re: Plans");
  EXPECT_EQ(w.mail->GetMessageNormalSubject(0), "Plans");
  EXPECT_EQ(w.mail->GetMessageDisplayFrom(0), "Ann");
  EXPECT_EQ(w.mail->GetMessageDisplayTo(0), "Bob; Cy");
  EXPECT_EQ(w.mail->GetMessageLanguage(0), 65001);
  EXPECT_EQ(w.mail->GetMessageId(1), static_cast<int32_t>(bId));
  EXPECT_EQ(w.mail->GetMessageSubject(1), "");
  EXPECT_EQ(w.mail->GetMessageNormalSubject(1), "");
  EXPECT_EQ(w.mail->GetMessageDisplayFrom(1), "");
  EXPECT_EQ(w.mail->GetMessageDisplayTo(1), "");

  const auto& first = w.env.log.Last("GetFirstMessage");
  EXPECT_EQ(first.Num("flags"), 0u);
  EXPECT_EQ(first.Num("msgFlags"), 0u);
  EXPECT_EQ(first.Num("firstId"), 0xFFFFFFFFu);
  EXPECT_EQ(first.Num("cbSize"), CB_MESSAGEPROPS);
  for (const auto& next : w.env.log.Calls("GetNextMessage")) {
    EXPECT_EQ(next.Num("flags"), 0u);
    EXPECT_EQ(next.Num("cbSize"), CB_MESSAGEPROPS);
  }
  // Each filled structure handed back once, after its record was made.
  EXPECT_EQ(w.store.PropsFilled(), 2);
  EXPECT_EQ(w.store.PropsFreed(), 2);
  EXPECT_EQ(w.env.log.Count("GetMessageClose"), 1);
  w.EndAndCheck();
}

TEST(MessageList, IndexesOutsideTheListGiveNeutralResults) {
  MessageWorld w;
  w.Add(w.inbox, "one");
  w.Add(w.inbox, "two");
  ASSERT_EQ(w.SetFolder(w.inbox), 1);
  for (int32_t index : {-1, 2, 3, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(w.mail->GetMessageId(index), -1);
    EXPECT_EQ(w.mail->GetMessageLanguage(index), 0);
    EXPECT_EQ(w.mail->GetMessageSubject(index), "");
    EXPECT_EQ(w.mail->GetMessageNormalSubject(index), "");
    EXPECT_EQ(w.mail->GetMessageDisplayFrom(index), "");
    EXPECT_EQ(w.mail->GetMessageDisplayTo(index), "");
    EXPECT_EQ(w.mail->GetMessageReceivedTime(index), "");
    EXPECT_EQ(w.mail->GetMessageSentTime(index), "");
  }
  w.EndAndCheck();
}

TEST(SetFolder, OutcomesOfEachStoreAnswer) {
  struct Case {
    const char* name;
    void (*arrange)(MessageWorld&);
    int result;
    std::vector<std::string> subjects;
    bool folderCurrent;
  };
  const std::vector<Case> cases = {
      {"all messages", [](MessageWorld&) {}, 1, {"a", "b", "c", "d", "e"}, true},
      {"GetNextMessage fails after three messages",
       [](MessageWorld& w) { w.env.faults.FailCall("GetNextMessage", 3); }, 1,
       {"a", "b", "c"}, true},
      {"GetFirstMessage fails",
       [](MessageWorld& w) { w.env.faults.FailCall("GetFirstMessage", 1); }, 0, {}, true},
      {"the store refuses the folder",
       [](MessageWorld& w) { w.store.Folder(w.inbox)->openStatus = E_ACCESSDENIED; }, 0,
       {"kept"}, false},
      {"an empty folder",
       [](MessageWorld& w) {
         w.store.openHandleWhenEmpty = true;
         for (MESSAGEID id : w.store.MessagesIn(w.inbox)) w.store.RemoveMessage(id);
       },
       1, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MessageWorld w;
    w.Add(w.other, "kept");
    for (const char* subject : {"a", "b", "c", "d", "e"}) w.Add(w.inbox, subject);
    ASSERT_EQ(w.SetFolder(w.other), 1);
    c.arrange(w);
    EXPECT_EQ(w.SetFolder(w.inbox), c.result);
    EXPECT_EQ(Subjects(*w.mail), c.subjects);
    EXPECT_EQ(Peer::CurrentFolder(*w.mail) != nullptr, c.folderCurrent);
    // The folder held before is given up whatever the outcome.
    EXPECT_THAT(w.env.log.LiveObjects("StoreFolder"), SizeIs(c.folderCurrent ? 1 : 0));
    EXPECT_EQ(w.store.PropsFilled(), w.store.PropsFreed());
    EXPECT_EQ(w.store.OpenEnumerations(), 0);
    if (!c.folderCurrent) {
      w.env.log.ClearCalls();
      EXPECT_EQ(w.mail->RebuildMessageList(), 0);
      EXPECT_THAT(w.env.log.Methods(), IsEmpty());
      EXPECT_EQ(Subjects(*w.mail), c.subjects);
    }
    w.EndAndCheck();
  }
}

TEST(SetFolder, WithoutASessionChangesNothing) {
  MailWorld w;
  w.store.AddFolder(FOLDERID_ROOT, "Inbox", FOLDER_INBOX);
  EXPECT_EQ(w.mail->SetFolder(101), 0);
  EXPECT_EQ(w.mail->RebuildMessageList(), 0);
  EXPECT_EQ(w.mail->GetMessageCount(), 0);
  EXPECT_THAT(w.env.log.Methods(), IsEmpty());
}

TEST(SetFolder, TheSameFolderTwiceHoldsOneReferenceAndTheSameList) {
  MessageWorld w;
  w.Add(w.inbox, "x");
  w.Add(w.inbox, "y");
  ASSERT_EQ(w.SetFolder(w.inbox), 1);
  const auto first = Subjects(*w.mail);
  ASSERT_EQ(w.SetFolder(w.inbox), 1);
  EXPECT_EQ(Subjects(*w.mail), first);
  EXPECT_THAT(w.env.log.LiveObjects("StoreFolder"), SizeIs(1));
  EXPECT_EQ(w.env.log.RefCount(w.env.log.LiveObjects("StoreFolder")[0]), 1);
  w.EndAndCheck();
}

TEST(SetFolder, FaultSweepHandsBackEveryPropertiesAndClosesTheEnumeration) {
  MessageWorld w;
  for (int i = 0; i < 4; ++i) w.Add(w.inbox, ("m" + std::to_string(i)).c_str());
  const int fired = vorn_fakes::SweepFaults(
      w.env.faults, [&] { return w.SetFolder(w.inbox); },
      [&](const vorn_fakes::SweepRun& run, int result) {
        EXPECT_EQ(w.store.PropsFilled(), w.store.PropsFreed()) << run;
        EXPECT_EQ(w.store.OutstandingStrings(), 0) << run;
        EXPECT_EQ(w.store.OpenEnumerations(), 0) << run;
        EXPECT_LE(w.env.log.LiveObjects("StoreFolder").size(), 1u) << run;
        const auto subjects = Subjects(*w.mail);
        if (result == 1) {
          // A prefix of the folder's messages.
          const std::vector<std::string> all = {"m0", "m1", "m2", "m3"};
          ASSERT_LE(subjects.size(), all.size());
          EXPECT_TRUE(std::equal(subjects.begin(), subjects.end(), all.begin())) << run;
        }
        if (!run.fired) {
          EXPECT_EQ(result, 1);
        }
      });
  EXPECT_EQ(fired, 6);  // OpenFolder, GetFirstMessage, four GetNextMessage
  w.EndAndCheck();
}

}  // namespace
