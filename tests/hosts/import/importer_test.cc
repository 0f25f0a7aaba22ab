// The importer against the real store server and MIME library in a fresh
// root: what is stored, byte for byte; what is skipped on a second run;
// what is reported; and where it goes.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "hosts/import/importer.h"
#include "store/mailstore.h"
#include "tests/hosts/import/import_fixture.h"
#include "tests/hosts/import/sample_mail.h"

namespace import_test {
namespace {

using ::testing::HasSubstr;

constexpr int kBigMailbox = 10000;

std::string Summary(int stored, int duplicates, int failed) {
  return "vornimport: " + std::to_string(stored) + " stored, " + std::to_string(duplicates) +
         " skipped as duplicates, " + std::to_string(failed) + " failed";
}

TEST_F(ImporterTest, TenThousandMessagesAreStoredByteForByteAndOnlyOnce) {
  std::string path = PathFor("big.mbox");
  WriteFile(path, GeneratedMbox(0, kBigMailbox));

  RunResult first = Import({path});
  EXPECT_EQ(0, first.status) << first.err;
  EXPECT_THAT(first.out, HasSubstr(Summary(kBigMailbox, 0, 0)));
  EXPECT_EQ("", first.err);

  std::vector<StoredMessage> stored = Messages(Inbox());
  ASSERT_EQ(static_cast<size_t>(kBigMailbox), stored.size());
  std::string expectedAll;
  std::string storedAll;
  for (int i = 0; i < kBigMailbox; ++i) {
    expectedAll += GeneratedMessage(i);
    storedAll += stored[i].raw;
  }
  EXPECT_EQ(Digest(store_import(), expectedAll), Digest(store_import(), storedAll))
      << "the store holds other bytes than the messages put into the mbox file";
  // Spot checks, message by message: plain, CRLF, quoted From lines, NUL
  // and 8-bit bytes, multipart, an empty last line, the first and the last.
  for (int i : {0, 1, 3, 5, 11, 13, 19, 23, 34, 97, 4999, kBigMailbox - 1}) {
    SCOPED_TRACE("message " + std::to_string(i));
    EXPECT_EQ(GeneratedMessage(i), stored[i].raw);
    uint64_t ticks = 0;
    GeneratedSeparator(i, &ticks);
    EXPECT_EQ(ticks, stored[i].received) << "the separator's date, read as UTC";
    EXPECT_EQ(0u, stored[i].flags & MSGFLAG_READ);
    EXPECT_THAT(stored[i].subject, HasSubstr(" " + std::to_string(i)));
  }

  // The same messages as the control hands them out. GetMessageContent
  // drops what follows a NUL in each chunk it reads, so messages with a NUL
  // byte (every 97th) are not among these.
  CloseStore();
  {
    CMailStore mail;
    ASSERT_EQ(1, mail.OpenSession());
    ASSERT_EQ(1, mail.RebuildFolderList());
    ASSERT_EQ(1, mail.SetFolder(static_cast<int32_t>(Inbox())));
    EXPECT_EQ(kBigMailbox, mail.GetMessageCount());
    for (int i : {1, 3, 11, 13, 23, 34, 4999, kBigMailbox - 1}) {
      SCOPED_TRACE("message " + std::to_string(i));
      EXPECT_EQ(GeneratedMessage(i), mail.GetMessageContent(static_cast<int32_t>(stored[i].id)));
    }
    mail.CloseSession();
  }

  RunResult second = Import({path});
  EXPECT_EQ(0, second.status) << second.err;
  EXPECT_THAT(second.out, HasSubstr(Summary(0, kBigMailbox, 0)));
  EXPECT_EQ(static_cast<size_t>(kBigMailbox), CountAll());
}

TEST_F(ImporterTest, MaildirFlagsTimesAndOrder) {
  std::string md = PathFor("Maildir");
  for (const char* sub : {"", "/cur", "/new", "/tmp"}) mkdir((md + sub).c_str(), 0700);
  auto message = [](const std::string& subject) {
    return "From: a@example.org\nSubject: " + subject + "\n\nbody of " + subject + "\n";
  };
  WriteFile(md + "/new/1767778300.M3P1.host", message("new, unread"));
  WriteFile(md + "/cur/1767778200.M2P1.host:2,S", message("seen"));
  WriteFile(md + "/cur/1767778100.M1P1.host:2,FRS", message("flagged, replied, seen"));
  WriteFile(md + "/cur/1767778400.M4P1.host:2,F", message("flagged only"));
  WriteFile(md + "/cur/no-time-in-name:2,S", message("time from the file"));
  WriteFile(md + "/cur/.hidden", message("hidden"));
  WriteFile(md + "/tmp/1767778500.M5P1.host", message("still being delivered"));
  WriteFile(md + "/new/1767778600.M6P1.host",
            "\x7f"
            "ELF binary, no mail");
  // The file without a time in its name is dated by its modification time.
  timeval times[2] = {{1767778700, 0}, {1767778700, 0}};
  ASSERT_EQ(0, utimes((md + "/cur/no-time-in-name:2,S").c_str(), times));

  // Links are left out wherever they point (outside the Maildir or inside
  // it), and so is a cur/ that is a link.
  WriteFile(PathFor("outside.eml"), message("outside"));
  ASSERT_EQ(0, symlink(PathFor("outside.eml").c_str(), (md + "/cur/1767778800.M7:2,S").c_str()));
  ASSERT_EQ(0, symlink((md + "/cur/1767778200.M2P1.host:2,S").c_str(),
                       (md + "/new/1.M8").c_str()));
  std::string linked = PathFor("Linked");
  mkdir(linked.c_str(), 0700);
  ASSERT_EQ(0, symlink((md + "/cur").c_str(), (linked + "/cur").c_str()));

  RunResult result = Import({"--folder", "From Maildir", md, linked});
  EXPECT_EQ(1, result.status) << "one file is no message";
  EXPECT_THAT(result.out, HasSubstr(Summary(5, 0, 1)));
  for (const std::string& link :
       {md + "/cur/1767778800.M7:2,S", md + "/new/1.M8", linked + "/cur"}) {
    EXPECT_THAT(result.err, HasSubstr("vornimport: " + link + ": a symbolic link; left out\n"));
  }
  EXPECT_THAT(result.err, HasSubstr(md + "/new/1767778600.M6P1.host: not stored: it does not "
                                         "start with a header field"));

  std::vector<StoredMessage> stored = Messages(FindFolder("From Maildir"));
  ASSERT_EQ(5u, stored.size());
  struct Expected {
    const char* subject;
    int64_t seconds;
    bool read;
  };
  const Expected expected[] = {
      {"flagged, replied, seen", 1767778100, true}, {"seen", 1767778200, true},
      {"new, unread", 1767778300, false},           {"flagged only", 1767778400, false},
      {"time from the file", 1767778700, true},
  };
  for (size_t i = 0; i < stored.size(); ++i) {
    SCOPED_TRACE(expected[i].subject);
    EXPECT_EQ(message(expected[i].subject), stored[i].raw);
    EXPECT_EQ(expected[i].seconds * 10000000ull + 116444736000000000ull, stored[i].received);
    EXPECT_EQ(expected[i].read, (stored[i].flags & MSGFLAG_READ) != 0);
  }
}

TEST_F(ImporterTest, GarbageIsReportedAndTheGoodMessagesStoredALastLineWithoutItsEndToo) {
  std::string truncated = PathFor("truncated.mbox");
  std::string complete = GeneratedMbox(0, 3);
  std::string cut = GeneratedMbox(3, 1);
  size_t keep = cut.size() / 2;
  while (cut[keep - 1] == '\n') --keep;  // cut inside a line
  WriteFile(truncated, complete + cut.substr(0, keep));
  size_t cutLine = 1;
  for (char c : complete) cutLine += c == '\n';

  std::string mixed = PathFor("mixed.mbox");
  std::string before = GeneratedMbox(10, 1);
  std::string garbage = "From x@example.org Wed Jan  7 09:30:00 2026\n\x01\x02\x03 not mail\n\n";
  WriteFile(mixed, before + garbage + GeneratedMbox(11, 1));
  size_t garbageLine = 1;
  for (char c : before) garbageLine += c == '\n';

  std::string binary = PathFor("garbage.bin");
  std::string noise;
  for (int i = 0; i < 4096; ++i) noise += static_cast<char>((i * 7919) >> 3);
  WriteFile(binary, noise);
  std::string badEml = PathFor("garbage.eml");
  WriteFile(badEml, noise);
  std::string goodEml = PathFor("good.eml");
  WriteFile(goodEml, GeneratedMessage(20));

  RunResult result = Import({truncated, binary, mixed, badEml, goodEml});
  EXPECT_EQ(1, result.status);
  EXPECT_THAT(result.out, HasSubstr(Summary(7, 0, 2) + ", 1 source not imported"));
  EXPECT_THAT(result.err, ::testing::Not(HasSubstr(truncated + ":" + std::to_string(cutLine))));
  EXPECT_THAT(result.err, HasSubstr(binary + ": not an mbox file"));
  EXPECT_THAT(result.err, HasSubstr(mixed + ":" + std::to_string(garbageLine) + " (byte " +
                                    std::to_string(before.size()) + "): not stored"));
  EXPECT_THAT(result.err, HasSubstr(badEml + ": not stored: it does not start with a header"));

  std::vector<StoredMessage> stored = Messages(Inbox());
  ASSERT_EQ(7u, stored.size());
  // A last message without a final line end is taken up to its last byte.
  ASSERT_GT(stored[3].raw.size(), 100u);
  EXPECT_EQ(GeneratedMessage(3).substr(0, stored[3].raw.size()), stored[3].raw);
  stored[3].raw = GeneratedMessage(3);
  const int expected[] = {0, 1, 2, 3, 10, 11, 20};
  for (size_t i = 0; i < stored.size(); ++i) {
    EXPECT_EQ(GeneratedMessage(expected[i]), stored[i].raw) << "message " << expected[i];
  }
}

// An empty file holds no messages; "From " lines whose date cannot be read
// stay in the message before them, and the summary counts them.
TEST_F(ImporterTest, AnEmptySourceHoldsNothingAndUnreadableSeparatorsAreCounted) {
  std::string empty = PathFor("empty.mbox");
  WriteFile(empty, "");
  RunResult nothing = Import({empty});
  EXPECT_EQ(0, nothing.status);
  EXPECT_THAT(nothing.out, HasSubstr(Summary(0, 0, 0) + " (into Inbox"));
  std::string joined = PathFor("joined.mbox");
  const std::string text = "Subject: one\n\nhi\n\nFrom b@x yesterday\nS: 2\n\nFrom c@x soon\n";
  WriteFile(joined, "From a@x Wed Jan  7 09:30:00 2026\n" + text);
  RunResult result = Import({joined});
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_THAT(result.out, HasSubstr(Summary(1, 0, 0) +
                                    ", 2 \"From \" lines after an empty line taken as text"));
  ASSERT_EQ(1u, Messages(Inbox()).size());
  EXPECT_EQ(text, Messages(Inbox())[0].raw);
}

TEST_F(ImporterTest, FolderPathsAreFoundOrCreated) {
  std::string one = PathFor("one.eml");
  std::string two = PathFor("two.eml");
  std::string three = PathFor("three.eml");
  WriteFile(one, GeneratedMessage(1));
  WriteFile(two, GeneratedMessage(2));
  WriteFile(three, GeneratedMessage(3));

  EXPECT_EQ(0, Import({"--folder", "Projects/2026", one}).status);
  EXPECT_EQ(0, Import({"--folder=projects/2026/", two}).status) << "found whatever the case";
  EXPECT_EQ(0, Import({"--folder", "/Inbox/Lists", three}).status);

  STOREFOLDERID projects = FindFolder("Projects/2026");
  ASSERT_NE(FOLDERID_INVALID, projects);
  EXPECT_EQ(FOLDERID_INVALID, FindFolder("projects"));
  std::vector<StoredMessage> inProjects = Messages(projects);
  ASSERT_EQ(2u, inProjects.size());
  EXPECT_EQ(GeneratedMessage(1), inProjects[0].raw);
  EXPECT_EQ(GeneratedMessage(2), inProjects[1].raw);
  ASSERT_NE(FOLDERID_INVALID, FindFolder("Inbox/Lists"));
  EXPECT_EQ(1u, Messages(FindFolder("Inbox/Lists")).size());
  EXPECT_EQ(0u, Messages(Inbox()).size());

  // A path that cannot be made leaves the store as it was.
  struct Bad {
    const char* folder;
    const char* says;
  };
  const Bad bad[] = {
      {"Half/\x01"
       "Bad",
       "cannot create the folder"},
      {"Half//Empty", "has an empty name in it"},
      {"Projects/2026/New/x\x7fy", "not a valid folder name"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.folder);
    RunResult result = Import({"--folder", b.folder, one});
    EXPECT_EQ(2, result.status);
    EXPECT_THAT(result.err, HasSubstr(b.says));
    EXPECT_EQ(FOLDERID_INVALID, FindFolder("Half"));
    EXPECT_EQ(FOLDERID_INVALID, FindFolder("Projects/2026/New"));
  }
  EXPECT_EQ(3u, CountAll());
}

TEST_F(ImporterTest, CommandLineMistakesAreUsageErrors) {
  std::string mbox = PathFor("m.mbox");
  WriteFile(mbox, GeneratedMbox(0, 1));
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {{}, 2, "no source given"},
      {{"--folder"}, 2, "--folder needs a folder path"},
      {{"--folder", "/", mbox}, 2, "--folder needs a folder path"},
      {{"--batch-size", "0", mbox}, 2, "--batch-size takes a number"},
      {{"--batch-size=12x", mbox}, 2, "--batch-size takes a number"},
      {{"--batch-size", "100001", mbox}, 2, "--batch-size takes a number"},
      {{"--verbose", mbox}, 2, "unknown option \"--verbose\""},
      {{"--help"}, 0, ""},
      {{"-h", "--bogus"}, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    RunResult result = Import(c.args);
    EXPECT_EQ(c.status, result.status);
    EXPECT_THAT(result.err, HasSubstr(c.says));
    if (c.status == 0) {
      EXPECT_THAT(result.out, HasSubstr("Usage: vornimport"));
    }
  }
  EXPECT_EQ(0u, CountAll()) << "a usage error stores nothing";
  // "--" ends the options: a source may start with a dash.
  std::string dashed = PathFor("-dashed.eml");
  WriteFile(dashed, GeneratedMessage(5));
  EXPECT_EQ(0, Import({"--batch-size", "1", "--", dashed}).status);
  EXPECT_EQ(1u, CountAll());
}

TEST_F(ImporterTest, DuplicatesWithinOneSourceAreStoredOnce) {
  std::string mbox = PathFor("twice.mbox");
  std::string once = GeneratedMbox(0, 3);
  WriteFile(mbox, once + once);
  // A batch of 2 puts the copies in later batches, and one in the same batch.
  RunResult result = Import({"--batch-size", "2", mbox});
  EXPECT_EQ(0, result.status);
  EXPECT_THAT(result.out, HasSubstr(Summary(3, 3, 0)));
  EXPECT_EQ(3u, CountAll());
}

// A namespace's import extension that fails one call of a chosen method,
// or asks the import to stop after a chosen call.
class ScriptedImport final : public IStoreImport {
 public:
  explicit ScriptedImport(IStoreImport* inner) : inner_(inner) {}
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }

  HRESULT BeginBatch(HBATCHLOCK* batch) override { return inner_->BeginBatch(batch); }
  HRESULT CommitBatch(HBATCHLOCK batch) override {
    if (++commits == failCommit) {
      inner_->AbortBatch(batch);
      return STG_E_WRITEFAULT;
    }
    return inner_->CommitBatch(batch);
  }
  HRESULT AbortBatch(HBATCHLOCK batch) override { return inner_->AbortBatch(batch); }
  HRESULT ImportMessage(HBATCHLOCK batch, STOREFOLDERID folder, const BYTE* data, ULONG cb,
                        const FILETIME* received, DWORD flags, LPMESSAGEID id) override {
    if (++imports == failImport) return STG_E_MEDIUMFULL;
    if (imports == stopAfter) stop = 1;
    return inner_->ImportMessage(batch, folder, data, cb, received, flags, id);
  }
  HRESULT FindMessageByDigest(const BYTE* digest, ULONG cb, LPSTOREFOLDERID folder,
                              LPMESSAGEID id) override {
    return inner_->FindMessageByDigest(digest, cb, folder, id);
  }
  HRESULT GetMessageDigest(const BYTE* data, ULONG cb, BYTE* digest, ULONG cbDigest) override {
    return inner_->GetMessageDigest(data, cb, digest, cbDigest);
  }

  int imports = 0;
  int commits = 0;
  int failImport = 0;
  int failCommit = 0;
  int stopAfter = 0;
  volatile std::sig_atomic_t stop = 0;

 private:
  IStoreImport* inner_;
};

TEST_F(ImporterTest, StoreFailuresAreReportedAndARerunCompletesTheImport) {
  std::string mbox = PathFor("ten.mbox");
  WriteFile(mbox, GeneratedMbox(0, 10));
  // Where the third message starts.
  std::string firstTwo = GeneratedMbox(0, 2);
  size_t thirdLine = 1 + static_cast<size_t>(std::count(firstTwo.begin(), firstTwo.end(), '\n'));
  std::string third = ":" + std::to_string(thirdLine) + " (byte " +
                      std::to_string(firstTwo.size()) +
                      "): not stored: the store refused it: "
                      "the disk is full";
  struct Case {
    const char* name;
    int failImport, failCommit, stopAfter;
    uint64_t stored, failed;
    bool stopped, interrupted;
    const char* says;
  };
  const Case cases[] = {
      {"one message refused", 3, 0, 0, 9, 1, false, false, third.c_str()},
      {"a batch lost at its commit", 0, 2, 0, 4, 4, true, false,
       "the store could not keep the last 4 messages ("},
      {"interrupted", 0, 0, 6, 6, 0, false, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vorn_test::TempRoot root;
    RegisterServices();
    CloseStore();
    {
      ScriptedImport scripted(store_import());
      scripted.failImport = c.failImport;
      scripted.failCommit = c.failCommit;
      scripted.stopAfter = c.stopAfter;
      vorn_import::ImportSettings settings;
      settings.batchSize = 4;
      settings.stop = &scripted.stop;
      FILE* report = std::tmpfile();
      {
        vorn_import::Importer importer(store(), &scripted, report, settings);
        STOREFOLDERID inbox = FOLDERID_INVALID;
        std::string error;
        ASSERT_TRUE(importer.ResolveFolder("", &inbox, &error)) << error;
        importer.Import({mbox}, inbox);
        EXPECT_EQ(c.stored, importer.counts().stored);
        EXPECT_EQ(c.failed, importer.counts().failed);
        EXPECT_EQ(c.stopped, importer.counts().stopped);
        EXPECT_EQ(c.interrupted, importer.counts().interrupted);
      }
      std::string text(4096, '\0');
      std::rewind(report);
      text.resize(std::fread(text.data(), 1, text.size(), report));
      std::fclose(report);
      EXPECT_THAT(text, HasSubstr(c.says));
      EXPECT_EQ(c.stored, CountAll());
    }
    // Run again, the store sound: every message once.
    RunResult again = Import({mbox});
    EXPECT_EQ(0, again.status) << again.err;
    EXPECT_THAT(again.out,
                HasSubstr(Summary(10 - static_cast<int>(c.stored), static_cast<int>(c.stored), 0)));
    std::vector<StoredMessage> stored = Messages(Inbox());
    ASSERT_EQ(10u, stored.size());
    std::vector<std::string> raws;
    for (const StoredMessage& m : stored) raws.push_back(m.raw);
    std::sort(raws.begin(), raws.end());
    std::vector<std::string> expected;
    for (int i = 0; i < 10; ++i) expected.push_back(GeneratedMessage(i));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, raws);
    CloseStore();
  }
}

TEST_F(ImporterTest, AStoreThatRefusesEveryMessageStopsTheImport) {
  // The store server without the MIME library cannot read a message's
  // fields and refuses to store it.
  vorn_test::TempRoot root;
  RegisterServices(false);
  std::string mbox = PathFor("many.mbox");
  WriteFile(mbox, GeneratedMbox(0, 50));
  RunResult result = Import({mbox});
  EXPECT_EQ(1, result.status);
  EXPECT_THAT(result.out, HasSubstr(Summary(0, 0, 20)));
  EXPECT_THAT(result.err, HasSubstr("the store refused 20 messages in a row; stopping"));
  EXPECT_THAT(result.err, HasSubstr("a component is not registered"));
}

TEST_F(ImporterTest, WithoutARegisteredStoreNothingHappens) {
  vorn_test::TempRoot root;
  std::string eml = PathFor("one.eml");
  WriteFile(eml, GeneratedMessage(1));
  RunResult result = Import({eml});
  EXPECT_EQ(2, result.status);
  EXPECT_THAT(result.err, HasSubstr("the mail store is not available in " + root.path()));
}

TEST_F(ImporterTest, TheExampleMailImportsCleanly) {
  std::string examples = vorn_test::SourceDir() + "/examples/mail";
  RunResult inbox = Import({examples + "/Inbox"});
  EXPECT_EQ(0, inbox.status) << inbox.err;
  EXPECT_THAT(inbox.out, HasSubstr(Summary(5, 0, 0)));
  RunResult archive = Import({"--folder", "Archive/2025", examples + "/archive.mbox"});
  EXPECT_EQ(0, archive.status) << archive.err;
  EXPECT_THAT(archive.out, HasSubstr(Summary(3, 0, 0)));

  struct Expected {
    const char* subject;
    bool read;
    bool attachment;
  };
  const Expected expected[] = {
      {"Lunch on Thursday?", true, false},
      {"Spring planting schedule", false, false},
      {"Minutes and budget for the May meeting", true, true},
      {"Gr\xc3\xbc\xc3\x9f"
       "e aus M\xc3\xbc"
       "nchen - Fotos vom Wochenende",
       false, false},
      {"\xe6\x9c\x88\xe4\xbe\x8b\xe4\xbc\x9a\xe8\xad\xb0\xe3\x81\xae\xe8\xb3\x87\xe6\x96\x99"
       " (slides for the monthly meeting)",
       true, true},
  };
  std::vector<StoredMessage> stored = Messages(Inbox());
  ASSERT_EQ(5u, stored.size());
  for (size_t i = 0; i < stored.size(); ++i) {
    SCOPED_TRACE(expected[i].subject);
    EXPECT_EQ(expected[i].subject, stored[i].subject) << "decoded by the MIME library";
    EXPECT_EQ(expected[i].read, (stored[i].flags & MSGFLAG_READ) != 0);
    EXPECT_EQ(expected[i].attachment, (stored[i].flags & MSGFLAG_ATTACHMENT) != 0);
  }
  std::vector<StoredMessage> old = Messages(FindFolder("Archive/2025"));
  ASSERT_EQ(3u, old.size());
  EXPECT_THAT(old[0].raw, HasSubstr("\nFrom Monday on he is there"));
  EXPECT_THAT(old[1].raw, HasSubstr("\n>From my side"));
  EXPECT_EQ(Ticks(2025, 11, 14, 15, 30, 0), old[0].received);
}

}  // namespace
}  // namespace import_test
