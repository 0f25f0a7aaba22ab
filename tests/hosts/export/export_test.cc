// The exporter's pieces in process: mbox quoting read back by the
// importer's mbox reader at every piece size, the names that folders and
// messages get on disk, and the handling of interrupts.

#include <gtest/gtest.h>

#include <csignal>
#include <set>
#include <string>
#include <vector>

#include "hosts/common/folder_file_name.h"
#include "hosts/common/interrupt.h"
#include "hosts/common/maildir_name.h"
#include "hosts/export/mbox_writer.h"
#include "hosts/import/mbox_reader.h"
#include "tests/hosts/import/import_fixture.h"
#include "tests/support/temp_root.h"

namespace {

using vorn_export::MboxQuoter;

std::string Quote(const std::string& message, size_t piece) {
  std::string out;
  MboxQuoter quoter;
  quoter.Begin();
  for (size_t i = 0; i < message.size(); i += piece) {
    quoter.Add(std::string_view(message).substr(i, piece), &out);
  }
  quoter.End(&out);
  return out;
}

TEST(MboxWriterTest, QuotesFromLinesAtEveryPieceSizeAndTheReaderUndoesIt) {
  struct Case {
    std::string message;
    std::string written;  // what follows the separator line
  };
  const std::vector<Case> cases = {
      {"Subject: a\n\nFrom here\n", "Subject: a\n\n>From here\n\n"},
      {"S: a\n\n>From x\n>>From y\n", "S: a\n\n>>From x\n>>>From y\n\n"},
      {"S: a\r\n\r\nFrom crlf\r\n", "S: a\r\n\r\n>From crlf\r\n\n"},
      // Not separators: no space, not at a line start, "From" alone.
      {"S: a\n\n>>From\nx From y\nFrom\n>\n", "S: a\n\n>>From\nx From y\nFrom\n>\n\n"},
      // No last line end: one is added; a held line start is let out.
      {"S: a\n\nlast", "S: a\n\nlast\n\n"},
      {"S: a\n\n>>Fro", "S: a\n\n>>Fro\n\n"},
      {"S: a\n\nFrom ", "S: a\n\n>From \n\n"},
      // Empty lines at the end stay the message's own.
      {"S: a\n\nbody\n\n\n", "S: a\n\nbody\n\n\n\n"},
  };
  std::string dir = vorn_test::MakeTempDir("vorn-mbox-writer");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    for (size_t piece = 1; piece <= c.message.size(); ++piece) {
      ASSERT_EQ(c.written, Quote(c.message, piece)) << "pieces of " << piece;
    }
    // Two copies in one file come back as they went in, bar the added
    // last line end.
    uint64_t ticks = import_test::Ticks(2026, 1, 7, 9, 30, 5) + 1234567;
    std::string separator = vorn_export::MboxSeparator(ticks);
    EXPECT_EQ("From MAILER-DAEMON Wed Jan  7 09:30:05 2026\n", separator);
    std::string path = dir + "/case.mbox";
    import_test::WriteFile(path, separator + c.written + separator + c.written);
    vorn_import::MboxReader reader(7);
    std::string error;
    ASSERT_TRUE(reader.Open(path, &error)) << error;
    std::string expected = c.message.back() == '\n' ? c.message : c.message + "\n";
    for (int copy = 0; copy < 2; ++copy) {
      vorn_import::MboxMessage message;
      ASSERT_EQ(vorn_import::MboxReader::Result::kMessage, reader.Next(&message));
      EXPECT_EQ(expected, std::string(message.bytes));
      EXPECT_EQ(ticks - 1234567, message.received);
    }
  }
  vorn_test::RemoveTree(dir);
}

TEST(FolderFileNameTest, NamesAreSafeDistinctAndReversible) {
  struct Case {
    const char* name;
    const char* file;
  };
  const Case cases[] = {
      {"Sent Items", "Sent Items"},
      {"a/b", "a%2Fb"},
      {"100%", "100%25"},
      {".hidden", "%2Ehidden"},
      {"..", "%2E%2E"},
      {"dots.", "dots%2E"},
      {"new", "%6Eew"},
      {"Cur", "%43ur"},
      {"newer", "newer"},
      {"x.mbox", "x%2Embox"},
      {"y.EML", "y%2EEML"},
      {"q?:*", "q%3F%3A%2A"},
      {"tab\there", "tab%09here"},
      {"Caf\xc3\xa9", "Caf\xc3\xa9"},
  };
  std::set<std::string> files;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = vorn_host::FolderFileName(c.name);
    EXPECT_EQ(c.file, file);
    EXPECT_EQ(c.name, vorn_host::FolderNameFromFile(file));
    files.insert(file);
    files.insert(file + ".mbox");
  }
  EXPECT_EQ(2 * std::size(cases), files.size()) << "two names share a file";
}

TEST(MaildirNameTest, WrittenNamesGiveBackTheTimeToTheTick) {
  const uint64_t times[] = {
      import_test::Ticks(2026, 1, 7, 9, 30, 0),
      import_test::Ticks(2026, 1, 7, 9, 30, 0) + 9999999,
      import_test::Ticks(1970, 1, 1, 0, 0, 0) + 1,
  };
  for (uint64_t ticks : times) {
    std::string base = vorn_host::MaildirBaseName(ticks, 0x0123456789abcdefull);
    SCOPED_TRACE(base);
    uint64_t read = 0;
    ASSERT_TRUE(vorn_host::MaildirTicksFromName(base + ":2,S", &read));
    EXPECT_EQ(ticks, read);
    EXPECT_TRUE(vorn_host::MaildirSeenFromName(base + ":2,S"));
  }
  // Other writers' names keep their whole seconds; a time before 1970 is
  // left to the file's time.
  uint64_t read = 0;
  ASSERT_TRUE(vorn_host::MaildirTicksFromName("1772439240.M101P2201.host:2,S", &read));
  EXPECT_EQ(import_test::Ticks(2026, 3, 2, 8, 14, 0), read);
  EXPECT_FALSE(vorn_host::MaildirTicksFromName(
      vorn_host::MaildirBaseName(import_test::Ticks(1965, 5, 1, 0, 0, 0), 1), &read));
}

// The first interrupt only asks the work to stop; it must leave the program
// running and the second one to the system, for either signal.
TEST(InterruptTest, TheFirstInterruptSetsTheFlagAndTheNextEndsTheProgram) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    const volatile std::sig_atomic_t* stop = vorn_host::CatchInterrupts();
    ASSERT_EQ(0, std::raise(signal));
    EXPECT_EQ(1, *stop);
    struct sigaction now {};
    ASSERT_EQ(0, sigaction(signal, nullptr, &now));
    EXPECT_EQ(SIG_DFL, now.sa_handler);
  }
}

}  // namespace
