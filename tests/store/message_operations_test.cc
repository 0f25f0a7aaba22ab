// The message operations of CMailStore: create, copy, move, remove, mark and
// read the raw text, their calls into the store, and what they give back on
// every path.

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/fakes/fault_sweep.h"
#include "tests/fakes/forwarding.h"
#include "tests/store/mail_world.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing::SizeIs;
using vorn_test::MailWorld;
using vorn_test::StdoutCapture;
using vorn_test::Subjects;
using Peer = MailStoreTestPeer;

// Inbox with three messages (the second one read), and an empty Archive.
struct OpsWorld : MailWorld {
  OpsWorld() {
    inbox = store.AddFolder(FOLDERID_ROOT, "Inbox", FOLDER_INBOX).id;
    archive = store.AddFolder(FOLDERID_ROOT, "Archive").id;
    for (const char* subject : {"one", "two", "three"}) {
      vorn_fakes::FakeMessage& m = store.AddMessage(inbox);
      m.subject = subject;
      ids.push_back(m.id);
    }
    store.Message(ids[1])->flags = MSGFLAG_READ | MSGFLAG_ATTACHMENT;
    EXPECT_EQ(mail->OpenSession(), 1);
  }
  int32_t Id(size_t i) const { return static_cast<int32_t>(ids[i]); }
  // Subjects of `folder` as the store now has them.
  std::vector<std::string> StoreSubjects(STOREFOLDERID folder) {
    std::vector<std::string> subjects;
    for (MESSAGEID id : store.MessagesIn(folder)) {
      subjects.push_back(store.Message(id)->subject.value_or(""));
    }
    return subjects;
  }
  STOREFOLDERID inbox = 0, archive = 0;
  std::vector<MESSAGEID> ids;
};

bool IsPrefix(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

TEST(CreateMessage, HandsTheStoreTheHeaderAndContentByteForByte) {
  struct Case {
    const char* name;
    std::string from, to, subject, content;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"one letter each", "a", "b", "c", "d", std::string("From: a\r\nTo:b\r\nSubject:c\r\n\r\nd")},
      {"empty subject and content", "a", "b", "", "",
       std::string("From: a\r\nTo:b\r\nSubject:\r\n\r\n")},
      {"values go in unchanged", "Ann <ann@x>\r\nBcc: eve@x", "bob@x", "Grüße\n",
       std::string("x\0y\r\n", 5),
       std::string("From: Ann <ann@x>\r\nBcc: eve@x\r\nTo:bob@x\r\nSubject:Grüße\n\r\n\r\n") +
           std::string("x\0y\r\n", 5)},
  };
  ASSERT_EQ(cases[0].bytes.size(), 29u);
  ASSERT_EQ(cases[1].bytes.size(), 27u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpsWorld w;
    EXPECT_EQ(w.mail->CreateMessage(static_cast<int32_t>(w.archive), c.from, c.to, c.subject,
                                    c.content),
              1);
    ASSERT_THAT(w.store.Commits(), SizeIs(1));
    EXPECT_EQ(w.store.Commits()[0].bytes, c.bytes);
    EXPECT_EQ(w.store.Commits()[0].folder, w.archive);
    // One Write of the whole text, no terminating zero.
    ASSERT_EQ(w.env.log.Count("Write"), 1);
    EXPECT_EQ(w.env.log.Last("Write").Num("cb"), c.bytes.size());
    const auto& create = w.env.log.Last("CreateStream");
    EXPECT_EQ(create.Num("batch"), 0u);
    EXPECT_EQ(create.Num("flags"), 0u);
    const auto& commit = w.env.log.Last("CommitStream");
    EXPECT_EQ(commit.Num("batch"), 0u);
    EXPECT_EQ(commit.Num("flags"), 0u);
    EXPECT_EQ(commit.Num("msgFlags"), 0u);
    EXPECT_TRUE(commit.IsNull("message"));
    EXPECT_EQ(commit.Num("messageId"), w.store.Commits()[0].id);
    // The target is current and listed with the new message.
    EXPECT_EQ(w.mail->GetMessageCount(), 1);
    EXPECT_EQ(w.mail->GetMessageId(0), static_cast<int32_t>(w.store.Commits()[0].id));
    EXPECT_THAT(w.env.log.LiveObjects("NewStream"), IsEmpty());
    w.EndAndCheck();
  }
}

TEST(CreateMessage, EmptyFromOrToOrANulInAHeaderValueCallsNothingAndChangesNothing) {
  OpsWorld w;
  ASSERT_EQ(w.mail->SetFolder(static_cast<int32_t>(w.inbox)), 1);
  IStoreFolder* current = Peer::CurrentFolder(*w.mail);
  w.env.log.ClearCalls();
  const std::string nul("x\0y", 3);
  EXPECT_EQ(w.mail->CreateMessage(static_cast<int32_t>(w.archive), "", "b", "s", "c"), 0);
  EXPECT_EQ(w.mail->CreateMessage(static_cast<int32_t>(w.archive), "a", "", "s", "c"), 0);
  // A NUL would cut its header line when the text is read back.
  EXPECT_EQ(w.mail->CreateMessage(static_cast<int32_t>(w.archive), nul, "b", "s", "c"), 0);
  EXPECT_EQ(w.mail->CreateMessage(static_cast<int32_t>(w.archive), "a", nul, "s", "c"), 0);
  EXPECT_EQ(w.mail->CreateMessage(static_cast<int32_t>(w.archive), "a", "b", nul, "c"), 0);
  EXPECT_THAT(w.env.log.Calls(), IsEmpty());
  EXPECT_EQ(Peer::CurrentFolder(*w.mail), current);
  EXPECT_THAT(Subjects(*w.mail), ElementsAre("one", "two", "three"));
  w.EndAndCheck();
}

TEST(CreateMessage, TargetStaysCurrentWhenALaterStepFails) {
  for (const char* failing : {"CreateStream", "Write", "CommitStream"}) {
    SCOPED_TRACE(failing);
    OpsWorld w;
    ASSERT_EQ(w.mail->SetFolder(static_cast<int32_t>(w.archive)), 1);
    w.env.faults.FailCall(failing, 1);
    EXPECT_EQ(w.mail->CreateMessage(static_cast<int32_t>(w.inbox), "a", "b", "c", "d"), 0);
    EXPECT_THAT(w.store.Commits(), IsEmpty());
    // Inbox is current, listed as it was before the new message.
    EXPECT_THAT(Subjects(*w.mail), ElementsAre("one", "two", "three"));
    EXPECT_THAT(w.env.log.LiveObjects("StoreFolder"), SizeIs(1));
    EXPECT_THAT(w.env.log.LiveObjects("NewStream"), IsEmpty());
    w.EndAndCheck();
  }
}

TEST(CopyMoveMessage, PassesTheFlagsAndTheComplementOfTheMessagesFlags) {
  struct Case {
    const char* name;
    BOOL move;
    std::vector<std::string> inboxAfter;
  };
  for (const Case& c : {Case{"copy", 0, {"one", "two", "three"}},
                        Case{"move", 1, {"one", "three"}}}) {
    SCOPED_TRACE(c.name);
    OpsWorld w;
    ASSERT_EQ(w.mail->SetFolder(static_cast<int32_t>(w.inbox)), 1);
    EXPECT_EQ(w.mail->CopyMoveMessage(w.Id(1), static_cast<int32_t>(w.archive), c.move), 1);

    const auto& props = w.env.log.Last("GetMessageProps");
    EXPECT_EQ(props.Num("messageId"), w.ids[1]);
    EXPECT_EQ(props.Num("flags"), 1u);
    EXPECT_EQ(props.Num("cbSize"), CB_MESSAGEPROPS);
    const auto& open = w.env.log.Last("OpenFolder");
    EXPECT_EQ(open.Num("folderId"), w.archive);
    EXPECT_EQ(open.Num("reserved"), 0u);
    const auto& copy = w.env.log.Last("CopyMoveMessages");
    EXPECT_EQ(copy.Str("source"), std::to_string(w.inbox));
    EXPECT_EQ(copy.Str("destination"), std::to_string(w.archive));
    EXPECT_EQ(copy.Num("cbSize"), CB_MESSAGEIDLIST);
    EXPECT_EQ(copy.Num("cMsgs"), 1u);
    EXPECT_EQ(copy.Str("ids"), std::to_string(w.ids[1]));
    EXPECT_EQ(copy.Num("flags"), c.move ? CMF_MOVE : 0u);
    EXPECT_EQ(copy.Num("flagsToRemove"), static_cast<DWORD>(~(MSGFLAG_READ | MSGFLAG_ATTACHMENT)));
    EXPECT_TRUE(copy.IsNull("progress"));

    EXPECT_EQ(Subjects(*w.mail), c.inboxAfter);
    EXPECT_THAT(w.StoreSubjects(w.archive), ElementsAre("two"));
    // The flags the copy keeps are the original's.
    const MESSAGEID copied = w.store.MessagesIn(w.archive)[0];
    EXPECT_EQ(w.store.Message(copied)->flags, MSGFLAG_READ | MSGFLAG_ATTACHMENT);
    // Only the current folder is still held; the properties went back.
    EXPECT_THAT(w.env.log.LiveObjects("StoreFolder"), SizeIs(1));
    EXPECT_EQ(w.store.PropsFilled(), w.store.PropsFreed());
    w.EndAndCheck();
  }
}

TEST(CopyMoveMessage, StopsAtEachFailingStepAndGivesBackWhatItHad) {
  struct Case {
    const char* name;
    int32_t destination;
    std::function<void(OpsWorld&)> arrange;
    int result;
    bool opensDestination;
    bool rebuilds;
  };
  const std::vector<Case> cases = {
      {"destination -1 copies nothing", -1, [](OpsWorld&) {}, 1, false, true},
      {"properties cannot be had",
       0, [](OpsWorld& w) { w.env.faults.FailCall("GetMessageProps", 1); }, 0, false, false},
      {"destination refused",
       0, [](OpsWorld& w) { w.store.Folder(w.archive)->openStatus = E_ACCESSDENIED; }, 0, true,
       false},
      {"copy refused",
       0, [](OpsWorld& w) { w.env.faults.FailCall("CopyMoveMessages", 1); }, 0, true, false},
  };
  for (const Case& c : cases) {
    for (BOOL move : {0, 1}) {
      SCOPED_TRACE(testing::Message() << c.name << (move ? " (move)" : " (copy)"));
      OpsWorld w;
      ASSERT_EQ(w.mail->SetFolder(static_cast<int32_t>(w.inbox)), 1);
      c.arrange(w);
      w.env.log.ClearCalls();
      const int32_t destination = c.destination == -1 ? -1 : static_cast<int32_t>(w.archive);
      EXPECT_EQ(w.mail->CopyMoveMessage(w.Id(0), destination, move), c.result);
      EXPECT_EQ(w.env.log.Count("OpenFolder"), c.opensDestination ? 1 : 0);
      EXPECT_EQ(w.env.log.Count("GetFirstMessage"), c.rebuilds ? 1 : 0);
      EXPECT_THAT(Subjects(*w.mail), ElementsAre("one", "two", "three"));
      EXPECT_THAT(w.StoreSubjects(w.archive), IsEmpty());
      EXPECT_THAT(w.env.log.LiveObjects("StoreFolder"), SizeIs(1));
      EXPECT_EQ(w.store.PropsFilled(), w.store.PropsFreed());
      w.EndAndCheck();
    }
  }
}

TEST(MessageOperations, WithoutACurrentFolderCallNothingAndWriteNothing) {
  OpsWorld w;
  w.env.log.ClearCalls();
  StdoutCapture out;
  EXPECT_EQ(w.mail->RemoveMessage(w.Id(0)), 0);
  EXPECT_EQ(w.mail->MarkMessage(w.Id(0), 1), 0);
  EXPECT_EQ(w.mail->MarkMessage(w.Id(0), 0), 0);
  EXPECT_EQ(w.mail->CopyMoveMessage(w.Id(0), static_cast<int32_t>(w.archive), 0), 0);
  EXPECT_EQ(w.mail->CopyMoveMessage(w.Id(0), static_cast<int32_t>(w.archive), 1), 0);
  EXPECT_EQ(w.mail->CopyMoveMessage(w.Id(0), -1, 1), 0);
  EXPECT_EQ(w.mail->GetMessageContent(w.Id(0)), "");
  EXPECT_EQ(out.Finish(), "");
  EXPECT_THAT(w.env.log.Calls(), IsEmpty());
  w.EndAndCheck();
}

TEST(MessageOperations, RemoveAndMarkRebuildOnSuccessOnly) {
  OpsWorld w;
  ASSERT_EQ(w.mail->SetFolder(static_cast<int32_t>(w.inbox)), 1);

  for (BOOL read : {1, 0, 1}) {
    w.env.log.ClearCalls();
    EXPECT_EQ(w.mail->MarkMessage(w.Id(2), read), 1);
    const auto& mark = w.env.log.Last("MarkMessagesAsRead");
    EXPECT_EQ(mark.Num("read"), static_cast<uint64_t>(read));
    EXPECT_EQ(mark.Num("reserved"), 0u);
    EXPECT_EQ(mark.Str("ids"), std::to_string(w.ids[2]));
    EXPECT_EQ(w.env.log.Count("GetFirstMessage"), 1);
    EXPECT_EQ((w.store.Message(w.ids[2])->flags & MSGFLAG_READ) != 0, read != 0);
  }

  w.env.log.ClearCalls();
  EXPECT_EQ(w.mail->RemoveMessage(w.Id(0)), 1);
  const auto& remove = w.env.log.Last("DeleteMessages");
  EXPECT_EQ(remove.Num("cbSize"), CB_MESSAGEIDLIST);
  EXPECT_EQ(remove.Num("cMsgs"), 1u);
  EXPECT_EQ(remove.Num("reserved"), 0u);
  EXPECT_TRUE(remove.IsNull("progress"));
  EXPECT_THAT(Subjects(*w.mail), ElementsAre("two", "three"));

  // Refused (the message is no longer in the folder): the list stays.
  w.env.log.ClearCalls();
  EXPECT_EQ(w.mail->RemoveMessage(w.Id(0)), 0);
  EXPECT_EQ(w.mail->MarkMessage(w.Id(0), 1), 0);
  EXPECT_EQ(w.env.log.Count("GetFirstMessage"), 0);
  EXPECT_THAT(Subjects(*w.mail), ElementsAre("two", "three"));
  w.EndAndCheck();
}

TEST(GetMessageContent, EchoesEachReadToStandardOutputAndReturnsTheWhole) {
  OpsWorld w;
  std::string raw;
  for (int i = 0; i < 250; ++i) raw += static_cast<char>('A' + i % 26);
  w.store.Message(w.ids[0])->raw = raw;
  w.store.Message(w.ids[0])->rawReads = {{99, S_OK}, {99, S_OK}, {52, S_OK}, {0, S_OK}};
  ASSERT_EQ(w.mail->SetFolder(static_cast<int32_t>(w.inbox)), 1);
  w.env.log.ClearCalls();

  StdoutCapture out;
  const std::string text = w.mail->GetMessageContent(w.Id(0));
  EXPECT_EQ(out.Finish(), raw.substr(0, 99) + "\n" + raw.substr(99, 99) + "\n" +
                              raw.substr(198, 52) + "\n" + "\n");
  EXPECT_EQ(text, raw);
  const auto& open = w.env.log.Last("OpenMessage");
  EXPECT_EQ(open.Num("messageId"), w.ids[0]);
  EXPECT_EQ(open.Str("riid"), vorn_fakes::GuidText(IID_IStream));
  for (const auto& read : w.env.log.Calls("Read")) EXPECT_EQ(read.Num("cb"), 99u);
  EXPECT_EQ(w.env.log.Count("Read"), 4);
  // Reading changes nothing.
  EXPECT_EQ(w.env.log.Count("GetFirstMessage"), 0);
  EXPECT_THAT(w.env.log.LiveObjects("RawStream"), IsEmpty());
  w.EndAndCheck();
}

TEST(GetMessageContent, AnythingButSokGivesAnEmptyText) {
  struct Case {
    const char* name;
    std::function<void(vorn_fakes::FakeMessage&)> arrange;
    std::string text;
  };
  const std::string raw = std::string(150, 'x') + std::string(1, '\0') + "after";
  const std::vector<Case> cases = {
      {"a zero byte cuts only its own read",
       [&](vorn_fakes::FakeMessage& m) { m.raw = raw; }, std::string(150, 'x')},
      {"a read answering S_FALSE",
       [&](vorn_fakes::FakeMessage& m) {
         m.raw = raw;
         m.rawReads = {{99, S_OK}, {10, S_FALSE}};
       },
       ""},
      {"a failing read drops what was gathered",
       [&](vorn_fakes::FakeMessage& m) {
         m.raw = raw;
         m.rawReads = {{99, S_OK}, {0, E_FAIL}};
       },
       ""},
      {"OpenMessage answers S_FALSE with a stream",
       [&](vorn_fakes::FakeMessage& m) {
         m.raw = raw;
         m.openStatus = S_FALSE;
       },
       ""},
      {"OpenMessage answers S_FALSE without a stream",
       [&](vorn_fakes::FakeMessage& m) {
         m.raw = raw;
         m.openStatus = S_FALSE;
         m.withholdObject = true;
       },
       ""},
      {"OpenMessage fails",
       [&](vorn_fakes::FakeMessage& m) { m.openStatus = STG_E_ACCESSDENIED; }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpsWorld w;
    c.arrange(*w.store.Message(w.ids[0]));
    ASSERT_EQ(w.mail->SetFolder(static_cast<int32_t>(w.inbox)), 1);
    StdoutCapture out;
    EXPECT_EQ(w.mail->GetMessageContent(w.Id(0)), c.text);
    out.Finish();
    EXPECT_THAT(w.env.log.LiveObjects("RawStream"), IsEmpty());
    w.EndAndCheck();
  }
}

// A stream that reports more bytes than it delivered.
struct Overstating : vorn_fakes::ForwardingStream {
  using ForwardingStream::ForwardingStream;
  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    const HRESULT hr = inner()->Read(pv, cb, pcbRead);
    if (*pcbRead > 0) *pcbRead += 1000;
    return hr;
  }
};

TEST(GetMessageContent, AStreamOverstatingItsReadsAddsNothingOfItsOwn) {
  OpsWorld w;
  w.store.Message(w.ids[0])->raw = "abc";
  w.store.wrapRawStream = [](ComPtr<IStream> inner) {
    return vorn_fakes::MakeForwarding<Overstating>(std::move(inner));
  };
  ASSERT_EQ(w.mail->SetFolder(static_cast<int32_t>(w.inbox)), 1);
  StdoutCapture out;
  EXPECT_EQ(w.mail->GetMessageContent(w.Id(0)), "abc");
  EXPECT_EQ(out.Finish(), "abc\n\n");
  w.EndAndCheck();
}

// For each operation, store call N fails for N = 1, 2, ... until nothing
// fails. Each run checks the documented result, that nothing obtained is
// still held, and that the message list is the one from before or a listing
// of the folder as the store now has it (whole unless the failing call was
// one of that listing's own).
TEST(MessageOperations, FaultSweepKeepsResultsReferencesAndTheListConsistent) {
  struct Operation {
    const char* name;
    std::function<int(OpsWorld&)> run;
    bool changesTheFolder;  // CreateMessage makes Archive current
  };
  const std::vector<Operation> operations = {
      {"CreateMessage",
       [](OpsWorld& w) {
         return w.mail->CreateMessage(static_cast<int32_t>(w.archive), "a", "b", "new", "x");
       },
       true},
      {"CopyMessage",
       [](OpsWorld& w) {
         return w.mail->CopyMoveMessage(w.Id(1), static_cast<int32_t>(w.archive), 0);
       },
       false},
      {"MoveMessage",
       [](OpsWorld& w) {
         return w.mail->CopyMoveMessage(w.Id(1), static_cast<int32_t>(w.archive), 1);
       },
       false},
      {"CopyMessage to -1", [](OpsWorld& w) { return w.mail->CopyMoveMessage(w.Id(1), -1, 0); },
       false},
      {"RemoveMessage", [](OpsWorld& w) { return w.mail->RemoveMessage(w.Id(1)); }, false},
      {"MarkMessagesAsRead", [](OpsWorld& w) { return w.mail->MarkMessage(w.Id(0), 1); },
       false},
      {"GetMessageContent",
       [](OpsWorld& w) {
         StdoutCapture out;
         const std::string text = w.mail->GetMessageContent(w.Id(0));
         out.Finish();
         return text == w.store.Message(w.ids[0])->raw ? 1 : 0;
       },
       false},
  };
  for (const Operation& op : operations) {
    SCOPED_TRACE(op.name);
    const int fired = vorn_fakes::SweepFaultsFresh([&](vorn_fakes::FaultArm& arm) {
      OpsWorld w;
      w.store.Message(w.ids[0])->raw = std::string(300, 'r');
      ASSERT_EQ(w.mail->SetFolder(static_cast<int32_t>(w.inbox)), 1);
      const auto before = Subjects(*w.mail);
      arm.Arm(w.env.faults);
      const int result = op.run(w);
      const std::string failed = arm.Run().method;
      const bool inListing = failed == "GetFirstMessage" || failed == "GetNextMessage";

      if (!arm.Fired()) {
        EXPECT_EQ(result, 1);
      } else if (!inListing) {
        EXPECT_EQ(result, 0) << arm.Run();
      }
      const STOREFOLDERID current = op.changesTheFolder ? w.archive : w.inbox;
      const auto now = w.StoreSubjects(current);
      const auto list = Subjects(*w.mail);
      // A CreateMessage whose target cannot be opened keeps the old list too.
      if (result == 0 && (!op.changesTheFolder || failed == "OpenFolder")) {
        EXPECT_EQ(list, before) << arm.Run();
      } else if (inListing) {
        EXPECT_TRUE(IsPrefix(list, now)) << arm.Run();
      } else {
        EXPECT_EQ(list, now) << arm.Run();
      }
      EXPECT_THAT(w.env.log.LiveObjects("StoreFolder"), SizeIs(testing::Le(1u)));
      EXPECT_THAT(w.env.log.LiveObjects("RawStream"), IsEmpty());
      EXPECT_THAT(w.env.log.LiveObjects("NewStream"), IsEmpty());
      EXPECT_EQ(w.store.PropsFilled(), w.store.PropsFreed());
      w.EndAndCheck();
    });
    EXPECT_GT(fired, 0);
  }
}

}  // namespace
