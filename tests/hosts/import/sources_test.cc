// Reading the sources: mbox splitting and unquoting at every chunk size,
// separator dates, Maildir names, what a source is, and the progress line.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "hosts/import/maildir.h"
#include "hosts/import/mbox_reader.h"
#include "hosts/import/progress.h"
#include "hosts/import/sources.h"
#include "tests/hosts/import/import_fixture.h"
#include "tests/support/temp_root.h"

namespace import_test {
namespace {

using vorn_import::MboxMessage;
using vorn_import::MboxReader;

class TempFolder {
 public:
  TempFolder() : path_(vorn_test::MakeTempDir("vorn-import-src")) {}
  ~TempFolder() { vorn_test::RemoveTree(path_); }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct ReadMessage {
  std::string bytes;
  uint64_t line;
  bool hasDate;
  bool truncated;
};

std::vector<ReadMessage> ReadMbox(const std::string& path, size_t chunk, std::string* openError) {
  std::vector<ReadMessage> messages;
  MboxReader reader(chunk);
  if (!reader.Open(path, openError)) return messages;
  MboxMessage message;
  while (reader.Next(&message) == MboxReader::Result::kMessage) {
    messages.push_back(
        {std::string(message.bytes), message.line, message.hasDate, message.truncated});
  }
  return messages;
}

struct MboxCase {
  const char* name;
  std::string file;
  std::vector<ReadMessage> expected;
};

const std::string kSep1 = "From alice@example.org Wed Jan  7 09:30:00 2026";
const std::string kSep2 = "From bob@example.org Thu Jan  8 10:00:00 2026";

TEST(MboxReaderTest, SplitsUnquotesAndKeepsBytesAtEveryChunkSize) {
  const std::vector<MboxCase> cases = {
      {"quoting undone once, only on From lines",
       kSep1 + "\nSubject: a\n\n>From here\n>>From there\n>Fromage\n> From x\nFrom inside\n\n" +
           kSep2 + "\nSubject: b\n\nend\n\n",
       {{"Subject: a\n\nFrom here\n>From there\n>Fromage\n> From x\nFrom inside\n", 1, true, false},
        {"Subject: b\n\nend\n", 10, true, false}}},
      {"CRLF lines and separators stay CRLF",
       kSep1 + "\r\nSubject: a\r\n\r\n>From x\r\n\r\n" + kSep2 + "\r\nSubject: b\r\n\r\nz\r\n\r\n",
       {{"Subject: a\r\n\r\nFrom x\r\n", 1, true, false},
        {"Subject: b\r\n\r\nz\r\n", 6, true, false}}},
      {"no empty line after the last message",
       kSep1 + "\nSubject: a\n\nbody\n\n" + kSep2 + "\nSubject: b\n\nlast\n",
       {{"Subject: a\n\nbody\n", 1, true, false}, {"Subject: b\n\nlast\n", 6, true, false}}},
      {"empty lines at a message's end are its own",
       kSep1 + "\nSubject: a\n\nbody\n\n\n\n" + kSep2 + "\nS: b\n\nx\n\n\n",
       {{"Subject: a\n\nbody\n\n\n", 1, true, false}, {"S: b\n\nx\n\n", 8, true, false}}},
      {"a From line without a date is text",
       kSep1 + "\nSubject: a\n\nhello\n\nFrom me to you\n\n" + kSep2 + "\nS: b\n\n",
       {{"Subject: a\n\nhello\n\nFrom me to you\n", 1, true, false}, {"S: b\n", 8, true, false}}},
      {"first separator without a date",
       "From someone\nSubject: a\n\nx\n",
       {{"Subject: a\n\nx\n", 1, false, false}}},
      {"cut inside the last line",
       kSep1 + "\nSubject: a\n\nfine\n\n" + kSep2 + "\nSubject: b\n\nhalf a li",
       {{"Subject: a\n\nfine\n", 1, true, false}, {"Subject: b\n\nhalf a li", 6, true, true}}},
      {"cut right after a separator",
       kSep1 + "\nSubject: a\n\n" + kSep2,
       {{"Subject: a\n", 1, true, false}, {"", 4, true, true}}},
      {"an empty message between separators",
       kSep1 + "\n\n" + kSep2 + "\nSubject: b\n",
       {{"", 1, true, false}, {"Subject: b\n", 3, true, false}}},
      {"bytes of any value pass unchanged",
       kSep1 + "\nSubject: \xff\xfe\n\n" + std::string("a\0b\r\x80\n", 6),
       {{"Subject: \xff\xfe\n\n" + std::string("a\0b\r\x80\n", 6), 1, true, false}}},
  };
  TempFolder folder;
  for (const MboxCase& c : cases) {
    std::string path = folder.Path("case.mbox");
    WriteFile(path, c.file);
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}, size_t{1} << 20}) {
      SCOPED_TRACE(std::string(c.name) + ", chunk " + std::to_string(chunk));
      std::string error;
      std::vector<ReadMessage> got = ReadMbox(path, chunk, &error);
      EXPECT_EQ("", error);
      ASSERT_EQ(c.expected.size(), got.size());
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(c.expected[i].bytes, got[i].bytes) << "message " << i;
        EXPECT_EQ(c.expected[i].line, got[i].line) << "message " << i;
        EXPECT_EQ(c.expected[i].hasDate, got[i].hasDate) << "message " << i;
        EXPECT_EQ(c.expected[i].truncated, got[i].truncated) << "message " << i;
      }
    }
  }
}

TEST(MboxReaderTest, ReportsOffsetsAndSeparatorDates) {
  TempFolder folder;
  std::string first = kSep1 + "\nSubject: a\n\nx\n\n";
  WriteFile(folder.Path("m"), first + kSep2 + "\nSubject: b\n");
  MboxReader reader(5);
  std::string error;
  ASSERT_TRUE(reader.Open(folder.Path("m"), &error));
  MboxMessage message;
  ASSERT_EQ(MboxReader::Result::kMessage, reader.Next(&message));
  EXPECT_EQ(0u, message.offset);
  EXPECT_EQ(Ticks(2026, 1, 7, 9, 30, 0), message.received);
  ASSERT_EQ(MboxReader::Result::kMessage, reader.Next(&message));
  EXPECT_EQ(first.size(), message.offset);
  EXPECT_EQ(Ticks(2026, 1, 8, 10, 0, 0), message.received);
  EXPECT_EQ(MboxReader::Result::kEnd, reader.Next(&message));
  EXPECT_EQ(MboxReader::Result::kEnd, reader.Next(&message));
}

TEST(MboxReaderTest, ALineWithoutEndsComesInPiecesNotOneHugeBuffer) {
  TempFolder folder;
  // 20 MiB without a line end after the header: more than one piece.
  std::string body(size_t{20} << 20, 'x');
  WriteFile(folder.Path("long"), kSep1 + "\nSubject: a\n\n" + body + "\nFrom x\n");
  std::string error;
  std::vector<ReadMessage> got = ReadMbox(folder.Path("long"), 1 << 16, &error);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ("Subject: a\n\n" + body + "\nFrom x\n", got[0].bytes);
}

TEST(MboxReaderTest, RefusesFilesThatAreNoMbox) {
  TempFolder folder;
  struct Case {
    const char* name;
    std::string bytes;
  };
  for (const Case& c : {Case{"message", "Subject: x\n\nFrom a b\n"},
                        Case{"almost", "From"}, Case{"lower case", "from a Wed Jan 7 1:00 2026"}}) {
    SCOPED_TRACE(c.name);
    WriteFile(folder.Path("f"), c.bytes);
    MboxReader reader;
    std::string error;
    EXPECT_FALSE(reader.Open(folder.Path("f"), &error));
    EXPECT_NE("", error);
  }
  MboxReader reader;
  std::string error;
  EXPECT_FALSE(reader.Open(folder.Path("missing"), &error));
  EXPECT_EQ("No such file or directory", error);
}

TEST(SeparatorDateTest, ReadsTheDateFormsWritersUseAsUtc) {
  struct Case {
    const char* rest;
    uint64_t ticks;  // 0: not a date
  };
  const Case cases[] = {
      {"alice@example.org Wed Jan  7 09:30:00 2026", Ticks(2026, 1, 7, 9, 30, 0)},
      {"MAILER-DAEMON Thu Feb 29 23:59:59 2024\r\n", Ticks(2024, 2, 29, 23, 59, 59)},
      {"- Sat Jan  3 01:05:34 1996\n", Ticks(1996, 1, 3, 1, 5, 34)},
      {"123@xxx Wed Jan 07 09:30:00 +0000 2026", Ticks(2026, 1, 7, 9, 30, 0)},
      {"a@b Wed Jan 7 09:30:00 2026 +0100", Ticks(2026, 1, 7, 9, 30, 0)},
      {"a@b wed JAN 7 9:30 2026", Ticks(2026, 1, 7, 9, 30, 0)},
      {"a@b Wed, 7 Jan 2026 09:30:00 +0000", Ticks(2026, 1, 7, 9, 30, 0)},
      {"\"a b\"@c Mon Dec 31 23:59:59 2029", Ticks(2029, 12, 31, 23, 59, 59)},
      {"", 0},
      {"a@b", 0},
      {"a@b Wed Jan 7 09:30:00", 0},
      {"a@b Wed Jan 32 09:30:00 2026", 0},
      {"a@b Wed Feb 29 09:30:00 2026", 0},
      {"a@b Wed Jan 7 24:00:00 2026", 0},
      {"a@b Wed Jan 7 09:60:00 2026", 0},
      {"a@b Wed Jan 7 0930 2026", 0},
      {"a@b Wed Jan 7 09:30:0 2026", 0},
      {"a@b Wed Foo 7 09:30:00 2026", 0},
      {"a@b Wed Jan 7 09:30:00 26", 0},
      {"Jan 7 09:30:00 2026", 0},  // the sender is missing: its first word is taken for it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rest);
    uint64_t ticks = 0;
    EXPECT_EQ(c.ticks != 0, vorn_import::ParseSeparatorDate(c.rest, &ticks));
    if (c.ticks != 0) {
      EXPECT_EQ(c.ticks, ticks);
    }
  }
}

TEST(MaildirNameTest, TimeAndSeenFlagFromTheFileName) {
  struct Case {
    const char* name;
    bool hasTime;
    uint64_t seconds;
    bool seen;
  };
  const Case cases[] = {
      {"1767778200.M1P2.host:2,S", true, 1767778200, true},
      {"1767778200.M1P2.host:2,FRS", true, 1767778200, true},
      {"1767778200.M1P2.host:2,F", true, 1767778200, false},
      {"1767778200.M1P2.host:2,", true, 1767778200, false},
      {"1767778200.M1P2.host", true, 1767778200, false},
      {"1767778200.M1P2.host!2,S", true, 1767778200, true},
      {"1.x:2,S", true, 1, true},
      {"my:2,S.host:2,T", false, 0, false},  // the last info part counts
      {"msg-without-time:2,S", false, 0, true},
      {"1767778200", false, 0, false},
      {"999999999999.x", false, 0, false},  // beyond the year 9999
      {"S", false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t seconds = 0;
    EXPECT_EQ(c.hasTime, vorn_import::MaildirTimeFromName(c.name, &seconds));
    if (c.hasTime) {
      EXPECT_EQ(c.seconds, seconds);
    }
    EXPECT_EQ(c.seen, vorn_import::MaildirSeenFromName(c.name));
  }
  EXPECT_EQ(Ticks(2026, 1, 7, 9, 30, 0), vorn_import::TicksFromUnixSeconds(1767778200));
  EXPECT_EQ(0u, vorn_import::TicksFromUnixSeconds(-20000000000));
}

TEST(DetectSourceTest, TellsSourcesByWhatTheyAre) {
  TempFolder folder;
  WriteFile(folder.Path("mail"), kSep1 + "\nSubject: a\n");
  WriteFile(folder.Path("mail.eml"), kSep1 + "\nSubject: a\n");  // an mbox despite its name
  WriteFile(folder.Path("one.EML"), "Subject: a\n\nbody\n");
  WriteFile(folder.Path("garbage.eml"), "\x01\x02\x03");
  WriteFile(folder.Path("notes.txt"), "Subject: looks like mail\n");
  WriteFile(folder.Path("From"), "From");
  mkdir(folder.Path("md").c_str(), 0700);
  mkdir(folder.Path("md/new").c_str(), 0700);
  mkdir(folder.Path("md2").c_str(), 0700);
  mkdir(folder.Path("md2/cur").c_str(), 0700);
  mkdir(folder.Path("plain").c_str(), 0700);
  mkdir(folder.Path("plain/tmp").c_str(), 0700);
  mkfifo(folder.Path("fifo").c_str(), 0600);
  WriteFile(folder.Path("empty"), "");
  WriteFile(folder.Path("empty.eml"), "");

  using vorn_import::SourceKind;
  struct Case {
    const char* name;
    SourceKind kind;
  };
  const Case cases[] = {
      {"mail", SourceKind::kMbox},           {"mail.eml", SourceKind::kMbox},
      {"one.EML", SourceKind::kMessageFile}, {"garbage.eml", SourceKind::kMessageFile},
      {"notes.txt", SourceKind::kRefused},   {"From", SourceKind::kRefused},
      {"md", SourceKind::kMaildir},          {"md2", SourceKind::kMaildir},
      {"plain", SourceKind::kRefused},       {"fifo", SourceKind::kRefused},
      {"missing", SourceKind::kRefused},     {"empty", SourceKind::kEmpty},
      {"empty.eml", SourceKind::kEmpty},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string reason;
    EXPECT_EQ(c.kind, vorn_import::DetectSource(folder.Path(c.name), &reason));
    EXPECT_EQ(c.kind == SourceKind::kRefused, !reason.empty());
  }
}

TEST(CheckMessageStartTest, AMessageStartsWithAHeaderField) {
  struct Case {
    std::string bytes;
    bool ok;
  };
  const Case cases[] = {
      {"Subject: x\n", true},
      {"Received: from a\r\n", true},
      {"X-Weird-Name!:v", true},
      {"Subject : x\n", true},  // obsolete white space before the colon
      {"", false},
      {"\n\nbody", false},
      {": no name\n", false},
      {"From a@b Wed\n", false},
      {"Subject\n", false},
      {"\xff\xfe:x", false},
      {"%PDF-1.4\n", false},
      {std::string("\0:x", 3), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(c.ok, vorn_import::CheckMessageStart(c.bytes) == nullptr);
  }
}

TEST(ProgressTest, ShowsShareCountRateAndTimeLeft) {
  EXPECT_EQ("[>                   ]   0%  0 messages  --/s  ETA --:--",
            vorn_import::FormatProgress(0, 1000, 0, 0.0));
  EXPECT_EQ("[==========>         ]  50%  500 messages  250/s  ETA 0:02",
            vorn_import::FormatProgress(500, 1000, 500, 2.0));
  EXPECT_EQ("[====================] 100%  10 messages  1/s  ETA 0:00",
            vorn_import::FormatProgress(2000, 1000, 10, 10.0));
  EXPECT_EQ("[=>                  ]   5%  1 messages  0/s  ETA 1:03:20",
            vorn_import::FormatProgress(5, 100, 1, 200.0));
}

}  // namespace
}  // namespace import_test
