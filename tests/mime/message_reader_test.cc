// The message reader of CMailStore: SetMessage, the body text, the attachment
// names, and what each stopping point leaves behind.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/fakes/fault_sweep.h"
#include "tests/fakes/forwarding.h"
#include "tests/store/mail_world.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing::SizeIs;
using vorn_fakes::FakeBody;
using vorn_fakes::FakeMimeMessage;
using vorn_fakes::MakeTextMessage;
using vorn_fakes::ReadStep;
using vorn_test::MailWorld;
using Peer = MailStoreTestPeer;

std::vector<std::string> Attachments(const CMailStore& mail) {
  std::vector<std::string> names;
  for (int i = 0; i < mail.GetAttachmentCount(); ++i) names.push_back(mail.GetAttachmentName(i));
  return names;
}

// UTF-16LE bytes of `text`.
std::string Utf16(std::u16string_view text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

std::vector<ReadStep> Reads(std::initializer_list<ULONG> sizes) {
  std::vector<ReadStep> steps;
  for (ULONG size : sizes) steps.push_back({size, S_OK});
  return steps;
}

// An Inbox whose messages the test describes; the session is open and the
// Inbox current.
struct ReaderWorld : MailWorld {
  ReaderWorld() {
    inbox = store.AddFolder(FOLDERID_ROOT, "Inbox", FOLDER_INBOX).id;
    other = store.AddFolder(FOLDERID_ROOT, "Other").id;
    previous = Add(MakeTextMessage(u"Previous", {"old.txt"}));
    EXPECT_EQ(mail->OpenSession(), 1);
    EXPECT_EQ(mail->SetFolder(static_cast<int32_t>(inbox)), 1);
  }
  int32_t Add(std::shared_ptr<FakeMimeMessage> mime) {
    vorn_fakes::FakeMessage& message = store.AddMessage(inbox);
    message.mime = std::move(mime);
    return static_cast<int32_t>(message.id);
  }
  // Opens a message holding `mime` and returns SetMessage's result.
  int32_t Read(std::shared_ptr<FakeMimeMessage> mime) {
    const int32_t id = Add(std::move(mime));
    EXPECT_EQ(mail->SetFolder(static_cast<int32_t>(inbox)), 1);
    return mail->SetMessage(id);
  }
  // Everything but the current message and its property set is given back.
  void CheckNothingLingers() {
    EXPECT_THAT(env.log.LiveObjects("MimeBody"), IsEmpty());
    EXPECT_THAT(env.log.LiveObjects("DataStream"), IsEmpty());
    EXPECT_THAT(env.log.LiveObjects("MimeMessage"), SizeIs(testing::Le(1u)));
    EXPECT_THAT(env.log.LiveObjects("MimePropertySet"), SizeIs(testing::Le(1u)));
  }
  STOREFOLDERID inbox = 0, other = 0;
  int32_t previous = 0;
};

TEST(SetMessage, EachStoppingPointLeavesWhatItsTableSays) {
  struct Case {
    const char* name;
    std::function<void(ReaderWorld&, FakeMimeMessage&, vorn_fakes::FakeMessage&)> arrange;
    int result;
    std::string body;
    std::vector<std::string> attachments;
  };
  const std::string kNew = "New body";
  const std::vector<std::string> kNewNames = {"a.pdf", "b.png"};
  const std::vector<std::string> kOld = {"old.txt"};
  const std::vector<Case> cases = {
      {"no current folder",
       [](ReaderWorld& w, FakeMimeMessage&, vorn_fakes::FakeMessage&) {
         w.store.Folder(w.other)->openStatus = E_FAIL;
         EXPECT_EQ(w.mail->SetFolder(static_cast<int32_t>(w.other)), 0);
       },
       0, "Previous", kOld},
      {"OpenMessage fails",
       [](ReaderWorld&, FakeMimeMessage&, vorn_fakes::FakeMessage& m) {
         m.openStatus = STG_E_FILENOTFOUND;
       },
       0, "Previous", kOld},
      {"root body not found",
       [](ReaderWorld&, FakeMimeMessage& mime, vorn_fakes::FakeMessage&) {
         mime.rootStatus = MIME_E_NOT_FOUND;
       },
       0, "Previous", kOld},
      {"property set bind fails",
       [](ReaderWorld&, FakeMimeMessage& mime, vorn_fakes::FakeMessage&) {
         mime.Body(mime.root)->bindPropertySetStatus = E_FAIL;
       },
       0, "Previous", kOld},
      {"body bind fails: the previous text does not linger",
       [](ReaderWorld&, FakeMimeMessage& mime, vorn_fakes::FakeMessage&) {
         mime.Body(mime.root)->bindBodyStatus = E_FAIL;
       },
       1, "", kNewNames},
      {"GetData fails",
       [](ReaderWorld&, FakeMimeMessage& mime, vorn_fakes::FakeMessage&) {
         mime.Body(mime.root)->dataStatus = E_FAIL;
       },
       1, "", kNewNames},
      {"a read fails part-way",
       [](ReaderWorld&, FakeMimeMessage& mime, vorn_fakes::FakeMessage&) {
         mime.Body(mime.root)->reads = {{6, S_OK}, {4, E_FAIL}};
       },
       1, "New", kNewNames},
      {"GetAttachments fails",
       [](ReaderWorld&, FakeMimeMessage& mime, vorn_fakes::FakeMessage&) {
         mime.attachmentsStatus = E_FAIL;
       },
       0, kNew, kOld},
      {"every step succeeds", [](ReaderWorld&, FakeMimeMessage&, vorn_fakes::FakeMessage&) {}, 1,
       kNew, kNewNames},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderWorld w;
    EXPECT_EQ(w.mail->GetBody(), "");
    EXPECT_EQ(w.mail->GetAttachmentCount(), 0);
    ASSERT_EQ(w.mail->SetMessage(w.previous), 1);
    auto mime = MakeTextMessage(u"New body", kNewNames);
    const int32_t id = w.Add(mime);
    c.arrange(w, *mime, *w.store.Message(static_cast<MESSAGEID>(id)));
    EXPECT_EQ(w.mail->SetMessage(id), c.result);
    EXPECT_EQ(w.mail->GetBody(), c.body);
    EXPECT_EQ(Attachments(*w.mail), c.attachments);
    w.CheckNothingLingers();
    w.EndAndCheck();
  }
}

TEST(SetMessage, CallsTheModelWithTheDocumentedArguments) {
  ReaderWorld w;
  auto mime = MakeTextMessage(u"x", {"a"});
  const int32_t id = w.Add(mime);
  w.env.log.ClearCalls();
  ASSERT_EQ(w.mail->SetMessage(id), 1);
  EXPECT_EQ(w.env.log.Last("OpenMessage").Str("riid"), vorn_fakes::GuidText(IID_IMimeMessage));
  const auto& root = w.env.log.Last("GetBody");
  EXPECT_EQ(root.Num("location"), static_cast<uint64_t>(IBL_ROOT));
  EXPECT_EQ(root.Num("pivot"), HBODY_NULL);
  const auto binds = w.env.log.Calls("BindToObject");
  ASSERT_THAT(binds, SizeIs(3));
  EXPECT_EQ(binds[0].Num("body"), mime->root);
  EXPECT_EQ(binds[0].Str("riid"), vorn_fakes::GuidText(IID_IMimePropertySet));
  EXPECT_EQ(binds[1].Num("body"), mime->root);
  EXPECT_EQ(binds[1].Str("riid"), vorn_fakes::GuidText(IID_IMimeBody));
  EXPECT_EQ(binds[2].Str("riid"), vorn_fakes::GuidText(IID_IMimeBody));
  const auto& type = w.env.log.Last("GetBodyProp");
  EXPECT_EQ(type.Str("name"), "pid:18");
  EXPECT_EQ(type.Num("flags"), 0u);
  EXPECT_EQ(type.Num("vt"), static_cast<uint64_t>(VT_LPSTR));
  EXPECT_EQ(w.env.log.Last("GetData").Num("encoding"), static_cast<uint64_t>(IET_UNICODE));
  EXPECT_EQ(w.env.log.Last("IsBodyType").Num("type"), static_cast<uint64_t>(IBT_ATTACHMENT));
  w.EndAndCheck();
}

TEST(SetMessage, ANewMessageReleasesTheEarlierMessageAndPropertySet) {
  ReaderWorld w;
  ASSERT_EQ(w.mail->SetMessage(w.previous), 1);
  const auto message = w.env.log.LiveObjects("MimeMessage");
  const auto properties = w.env.log.LiveObjects("MimePropertySet");
  ASSERT_THAT(message, SizeIs(1));
  ASSERT_THAT(properties, SizeIs(1));
  EXPECT_EQ(w.Read(MakeTextMessage(u"second", {})), 1);
  EXPECT_THAT(w.env.log.ReleaseOrder(), testing::IsSupersetOf({message[0], properties[0]}));
  EXPECT_THAT(w.env.log.LiveObjects("MimeMessage"), SizeIs(1));
  EXPECT_THAT(w.env.log.LiveObjects("MimePropertySet"), SizeIs(1));
  EXPECT_NE(w.env.log.LiveObjects("MimeMessage"), message);
  // Changing folders leaves the reader's caches alone.
  EXPECT_EQ(w.mail->SetFolder(static_cast<int32_t>(w.other)), 1);
  EXPECT_EQ(w.mail->GetBody(), "second");
  w.EndAndCheck();
}

TEST(BodyText, ContentTypeDecidesHowTheDataIsRead) {
  struct Case {
    const char* name;
    std::optional<std::string> contentType;
    HRESULT contentTypeStatus;
    std::string data;
    std::string body;
  };
  const std::string text = Utf16(u"Grüße");
  const std::vector<Case> cases = {
      {"text/plain", "text/plain", S_OK, text, "Grüße"},
      {"capitals count as text", "TEXT/PLAIN", S_OK, text, "Grüße"},
      {"text/html", "Text/HTML", S_OK, text, "Grüße"},
      {"multipart is read as bytes", "multipart/mixed", S_OK, "raw bytes", "raw bytes"},
      {"a type merely containing text is not text", "application/x-text", S_OK, "ab", "ab"},
      {"empty type is not text", "", S_OK, "ab", "ab"},
      {"null type is not text", std::nullopt, S_OK, "ab", "ab"},
      {"unreadable type is not text", "text/plain", E_FAIL, "ab", "ab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderWorld w;
    auto mime = MakeTextMessage(u"", {});
    FakeBody& root = *mime->Body(mime->root);
    root.contentType = c.contentType;
    root.contentTypeStatus = c.contentTypeStatus;
    root.data = c.data;
    EXPECT_EQ(w.Read(mime), 1);
    EXPECT_EQ(w.mail->GetBody(), c.body);
    for (const auto& read : w.env.log.Calls("Read")) {
      EXPECT_LE(read.Num("cb"), c.body == c.data ? 2047u : 4094u);
    }
    w.EndAndCheck();
  }
}

TEST(BodyText, ChunksArriveWholeWhateverTheReadSizes) {
  std::u16string big;
  for (int i = 0; i < 6000; ++i) big += static_cast<char16_t>(i % 3 == 0 ? u'é' : u'a' + i % 26);
  big += u"\U0001D11E end";
  std::string bigUtf8;
  for (int i = 0; i < 6000; ++i) {
    bigUtf8 += i % 3 == 0 ? std::string("é") : std::string(1, static_cast<char>('a' + i % 26));
  }
  bigUtf8 += "\xF0\x9D\x84\x9E end";

  std::vector<ReadStep> odd;
  for (int i = 0; i < 20000; ++i) odd.push_back({static_cast<ULONG>(1 + (i * 7) % 13), S_OK});

  struct Case {
    const char* name;
    std::string data;
    std::vector<ReadStep> reads;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"odd-sized reads", Utf16(u"Grüße aus Köln"), Reads({3, 5, 1, 7, 2, 9}), "Grüße aus Köln"},
      {"a surrogate pair split between reads", Utf16(u"a\U0001D11Eb"), Reads({4, 6}),
       "a\xF0\x9D\x84\x9E" "b"},
      {"a pair split and an odd byte", Utf16(u"a\U0001D11Eb"), Reads({5, 3, 1, 1}),
       "a\xF0\x9D\x84\x9E" "b"},
      {"a lone high surrogate at the end", Utf16(u"a\xD834"), Reads({}), "a\xEF\xBF\xBD"},
      {"a lone low surrogate", Utf16(u"a\xDD1E" u"b"), Reads({}), "a\xEF\xBF\xBD" "b"},
      {"a zero unit ends only its own chunk", Utf16(std::u16string(u"ab\0c", 4) + u"def"),
       Reads({8, 6}), "abdef"},
      // The first read ends inside "c": the unit is finished by the next read
      // and belongs to that chunk, which is read in step.
      {"a zero unit keeps later chunks aligned",
       Utf16(std::u16string(u"ab\0c", 4) + u"def"), Reads({7, 7}), "abcdef"},
      {"far larger than the buffers", Utf16(big), {}, bigUtf8},
      {"far larger, read in odd pieces", Utf16(big), odd, bigUtf8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderWorld w;
    auto mime = MakeTextMessage(u"", {});
    FakeBody& root = *mime->Body(mime->root);
    root.data = c.data;
    root.reads = c.reads;
    EXPECT_EQ(w.Read(mime), 1);
    EXPECT_EQ(w.mail->GetBody(), c.body);
    for (const auto& read : w.env.log.Calls("Read")) EXPECT_LE(read.Num("cb"), 4094u);
    w.EndAndCheck();
  }
}

TEST(BodyText, BytesOfOtherBodiesStopAtAZeroInTheirChunk) {
  std::string big;
  for (int i = 0; i < 9000; ++i) big += static_cast<char>('A' + i % 26);
  struct Case {
    const char* name;
    std::string data;
    std::vector<ReadStep> reads;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"a zero byte cuts its chunk", std::string("abc\0def", 7) + "ghi", Reads({7, 3}),
       "abcghi"},
      {"far larger than the buffer", big, {}, big},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderWorld w;
    auto mime = MakeTextMessage(u"", {}, "application/octet-stream");
    FakeBody& root = *mime->Body(mime->root);
    root.data = c.data;
    root.reads = c.reads;
    EXPECT_EQ(w.Read(mime), 1);
    EXPECT_EQ(w.mail->GetBody(), c.body);
    for (const auto& read : w.env.log.Calls("Read")) EXPECT_EQ(read.Num("cb"), 2047u);
    w.EndAndCheck();
  }
}

// A data stream that reports more bytes than it delivered.
struct Overstating : vorn_fakes::ForwardingStream {
  using ForwardingStream::ForwardingStream;
  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    const HRESULT hr = inner()->Read(pv, cb, pcbRead);
    if (*pcbRead > 0) *pcbRead += 5000;
    return hr;
  }
};

TEST(BodyText, AStreamOverstatingItsReadsAddsNothingOfItsOwn) {
  for (const char* type : {"text/plain", "application/octet-stream"}) {
    SCOPED_TRACE(type);
    ReaderWorld w;
    w.mime.wrapDataStream = [](ComPtr<IStream> inner) {
      return vorn_fakes::MakeForwarding<Overstating>(std::move(inner));
    };
    auto mime = MakeTextMessage(u"", {}, type);
    mime->Body(mime->root)->data = type == std::string("text/plain") ? Utf16(u"hello") : "hello";
    EXPECT_EQ(w.Read(mime), 1);
    EXPECT_EQ(w.mail->GetBody(), "hello");
    w.EndAndCheck();
  }
}

TEST(Attachments, OnlyConfirmedAndNamedAttachmentsAreListedInOrder) {
  ReaderWorld w;
  auto mime = MakeTextMessage(u"body", {"one.pdf", "not-attachment", "odd-answer",
                                        "no-name", "unbindable", "null-name", "two.png"});
  std::vector<HBODY> handles;
  for (const FakeBody& body : mime->bodies) {
    if (body.handle != mime->root) handles.push_back(body.handle);
  }
  mime->attachments = handles;  // listed, whatever IsBodyType answers
  mime->Body(handles[1])->isAttachment = S_FALSE;
  mime->Body(handles[2])->isAttachment = 2;  // a success, but not S_OK
  mime->Body(handles[3])->displayNameStatus = E_FAIL;
  mime->Body(handles[4])->bindBodyStatus = E_FAIL;
  mime->Body(handles[5])->displayName = std::nullopt;
  EXPECT_EQ(w.Read(mime), 1);
  EXPECT_THAT(Attachments(*w.mail), ElementsAre("one.pdf", "", "two.png"));
  for (int32_t index : {-1, 3, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(w.mail->GetAttachmentName(index), "") << index;
  }
  w.CheckNothingLingers();
  w.EndAndCheck();
}

TEST(Attachments, OddArraysFromTheModelGiveNoBogusEntries) {
  struct Case {
    const char* name;
    std::function<void(FakeMimeMessage&)> arrange;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {"no attachments", [](FakeMimeMessage& m) { m.attachments = std::vector<HBODY>{}; }, {}},
      {"a null array with a count",
       [](FakeMimeMessage& m) {
         m.nullAttachmentArray = true;
         m.attachmentCount = 3;
       },
       {}},
      {"a count beyond the real handles",
       [](FakeMimeMessage& m) { m.attachmentCount = 4; }, {"x.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderWorld w;
    ASSERT_EQ(w.mail->SetMessage(w.previous), 1);
    auto mime = MakeTextMessage(u"body", {"x.txt"});
    c.arrange(*mime);
    EXPECT_EQ(w.Read(mime), 1);
    EXPECT_EQ(Attachments(*w.mail), c.names);
    w.EndAndCheck();
  }
}

// SetMessage with call N of the MIME model or the store failing, N = 1, 2,
// ...: whatever fails, every body object and stream goes back, at most the
// current message and its property set stay held, and the result is 1 only
// when the attachments were reloaded.
TEST(SetMessage, FaultSweepGivesEverythingBack) {
  ReaderWorld w;
  auto mime = MakeTextMessage(u"Sweep body", {"a", "b"});
  const int32_t id = w.Add(mime);
  ASSERT_EQ(w.mail->SetFolder(static_cast<int32_t>(w.inbox)), 1);
  const int fired = vorn_fakes::SweepFaults(
      w.env.faults, [&] { return w.mail->SetMessage(id); },
      [&](const vorn_fakes::SweepRun& run, int result) {
        w.CheckNothingLingers();
        if (!run.fired) {
          EXPECT_EQ(result, 1);
          EXPECT_EQ(w.mail->GetBody(), "Sweep body");
          EXPECT_THAT(Attachments(*w.mail), ElementsAre("a", "b"));
        } else if (result == 1) {
          // The attachments were reloaded, possibly missing a skipped one.
          EXPECT_LE(w.mail->GetAttachmentCount(), 2) << run;
        }
      });
  EXPECT_GT(fired, 8);
  w.EndAndCheck();
}

}  // namespace
