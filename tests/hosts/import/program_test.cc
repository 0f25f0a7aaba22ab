// The vornimport program as a user runs it: its help, its output streams
// and exit status, and a run killed halfway and started again.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/hosts/import/import_fixture.h"
#include "tests/hosts/import/sample_mail.h"

extern char** environ;

namespace import_test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST_F(ImporterTest, ProgramPrintsHelpSummaryAndProblemsWhereTheyBelong) {
  RunResult help = ImportProgram({"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_THAT(help.out, StartsWith("Usage: vornimport [--folder PATH]"));
  EXPECT_EQ("", help.err);

  std::string mbox = PathFor("m.mbox");
  WriteFile(mbox, GeneratedMbox(0, 25));
  std::string notes = PathFor("notes.txt");
  WriteFile(notes, "shopping list\n");
  RunResult run = ImportProgram({"--folder", "Imported", mbox, notes});
  EXPECT_EQ(1, run.status) << "a source was refused";
  EXPECT_THAT(run.out, StartsWith("vornimport: 25 stored, 0 skipped as duplicates, 0 failed, "
                                  "1 source not imported (into Imported, "));
  EXPECT_EQ("vornimport: " + notes +
                ": not an mbox file (it does not start with a \"From \" line), a Maildir folder "
                "or an .eml file\n",
            run.err)
      << "no progress bar when standard error is no terminal";
  EXPECT_EQ(25u, Messages(FindFolder("Imported")).size());

  RunResult usage = ImportProgram({"--folder"});
  EXPECT_EQ(2, usage.status);
  EXPECT_EQ("", usage.out);
  EXPECT_THAT(usage.err, HasSubstr("Try 'vornimport --help'."));
}

TEST_F(ImporterTest, AProgramKilledHalfwayAndRunAgainStoresEveryMessageOnce) {
  constexpr int kMessages = 10000;
  std::string mbox = PathFor("big.mbox");
  WriteFile(mbox, GeneratedMbox(0, kMessages));

  // Killed without warning once the store has some messages (or once the
  // program is done, on a fast machine): what it committed stays, the
  // rest is gone with it.
  std::string program = vorn_test::BinDir() + "/vornimport";
  std::vector<std::string> args = {program, "--batch-size", "500", mbox};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(0, posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ));
  posix_spawn_file_actions_destroy(&actions);
  std::string database = root_->path() + "/store/store.db";
  for (int i = 0; i < 3000; ++i) {
    struct stat info {};
    if (stat(database.c_str(), &info) == 0 && info.st_size > (1 << 20)) break;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = 0;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (pid != 0) {
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
  }
  size_t kept = CountAll();
  CloseStore();

  RunResult rerun = ImportProgram({mbox});
  EXPECT_EQ(0, rerun.status) << rerun.err;
  EXPECT_THAT(rerun.out,
              StartsWith("vornimport: " + std::to_string(kMessages - kept) + " stored, " +
                         std::to_string(kept) + " skipped as duplicates, 0 failed"));
  std::vector<StoredMessage> stored = Messages(Inbox());
  ASSERT_EQ(static_cast<size_t>(kMessages), stored.size());
  std::set<std::string> distinct;
  for (const StoredMessage& message : stored) distinct.insert(message.raw);
  std::set<std::string> expected;
  for (int i = 0; i < kMessages; ++i) expected.insert(GeneratedMessage(i));
  EXPECT_TRUE(distinct == expected) << "every message exactly once";
}

// Imports of the same mailbox into the same new folder path at once: the
// folder is made once, and every message is stored exactly once, whichever
// run stores it; none of them fails.
TEST_F(ImporterTest, ThreeImportsAtOnceStoreEveryMessageExactlyOnce) {
  constexpr int kMessages = 5000;
  std::string mbox = PathFor("shared.mbox");
  WriteFile(mbox, GeneratedMbox(0, kMessages));
  std::vector<pid_t> runs;
  for (const char* name : {"a", "b", "c"}) {
    runs.push_back(StartImportProgram({"--folder", "Lists/New", "--batch-size", "500", mbox}, name));
  }
  unsigned long long stored = 0, duplicates = 0;
  for (const char* name : {"a", "b", "c"}) {
    RunResult run = WaitImportProgram(runs[static_cast<size_t>(*name - 'a')], name);
    EXPECT_EQ(0, run.status) << run.err;
    unsigned long long s = 0, d = 0;
    ASSERT_EQ(2, std::sscanf(run.out.c_str(), "vornimport: %llu stored, %llu skipped", &s, &d));
    stored += s;
    duplicates += d;
  }
  EXPECT_EQ(kMessages, stored);
  EXPECT_EQ(2 * kMessages, duplicates);
  std::set<std::string> distinct;
  for (const StoredMessage& message : Messages(FindFolder("Lists/New"))) {
    distinct.insert(message.raw);
  }
  EXPECT_EQ(static_cast<size_t>(kMessages), distinct.size());
  EXPECT_EQ(static_cast<size_t>(kMessages), CountAll()) << "each message once, all in one folder";
}

}  // namespace
}  // namespace import_test
