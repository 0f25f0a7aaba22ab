// From a fresh root to the tour, as a newcomer gets there: scripts/setup-root
// (the set-up that scripts/run does, here with this build's tools and
// libraries) registers the module and the services and imports the sample
// mail and contacts; vornhost then runs the example scripts, whose output is
// compared with golden files in tests/e2e/golden.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/hosts/run_program.h"
#include "tests/support/temp_root.h"

namespace {

namespace fs = std::filesystem;
using vorn_test::BinDir;
using vorn_test::ProgramResult;
using vorn_test::RunProgram;
using vorn_test::SourceDir;

constexpr char kProgId[] = "VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string Example(const std::string& name) { return SourceDir() + "/examples/" + name; }

std::string Golden(const std::string& name) {
  return ReadFile(SourceDir() + "/tests/e2e/golden/" + name);
}

std::string Tool(const std::string& name) { return BinDir() + "/" + name; }

// Runs `program` with `args` in the folder `dir`.
ProgramResult RunIn(const std::string& dir, const std::string& program,
                    const std::vector<std::string>& args) {
  std::vector<std::string> shellArgs = {"-c", "cd \"$1\" && shift && exec \"$@\"", "sh", dir,
                                        program};
  shellArgs.insert(shellArgs.end(), args.begin(), args.end());
  return RunProgram("/bin/sh", shellArgs);
}

ProgramResult SetUpRoot() {
  return RunProgram(SourceDir() + "/scripts/setup-root", {"--bin", BinDir()});
}

ProgramResult Host(const std::vector<std::string>& args) { return RunProgram(Tool("vornhost"), args); }

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class E2eTest : public testing::Test {
 protected:
  std::string Root() const { return root_.path(); }
  std::string Registry() const { return Root() + "/registry.reg"; }

  // Sets up the root and checks that it went well.
  void SetUpSampleRoot() {
    const ProgramResult r = SetUpRoot();
    ASSERT_EQ(r.status, 0) << r.err;
  }

  vorn_test::TempRoot root_;
};

TEST_F(E2eTest, FreshRootRunsTheTourAndASecondSetUpChangesNothing) {
  const ProgramResult first = SetUpRoot();
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, "");
  for (const std::string& said :
       {"setup-root: registered in " + Root() +
            ": VORNOUTLOOKEXPRESS.OCX vornstore.so vornmime.so vornwab.so\n",
        std::string("vornimport: 5 stored, 0 skipped as duplicates, 0 failed (into Inbox"),
        std::string("vornimport: 3 stored, 0 skipped as duplicates, 0 failed (into Archive/2025"),
        "setup-root: copied the sample contacts to " + Root() + "/contacts\n"}) {
    EXPECT_TRUE(Contains(first.err, said)) << said << "\nnot in:\n" << first.err;
  }
  EXPECT_EQ(ReadFile(Root() + "/contacts/contacts.vcf"),
            ReadFile(Example("contacts/contacts.vcf")));
  EXPECT_FALSE(fs::exists(Root() + "/.samples-pending"));
  for (const char* library :
       {"VORNOUTLOOKEXPRESS.OCX", "vornstore.so", "vornmime.so", "vornwab.so"}) {
    const std::string path = fs::canonical(Tool(library)).string();
    EXPECT_TRUE(Contains(ReadFile(Registry()), "@=\"" + path + "\"\n")) << path;
  }

  const ProgramResult tour = Host({Example("tour.js")});
  EXPECT_EQ(tour.err, "");
  EXPECT_EQ(tour.status, 0);
  EXPECT_EQ(tour.out, Golden("tour.out"));

  // Again: nothing registered, imported or copied, the registry not even
  // rewritten; and the tour left the store as it found it.
  const std::string registry = ReadFile(Registry());
  const fs::file_time_type written = fs::last_write_time(Registry());
  const ProgramResult second = SetUpRoot();
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(ReadFile(Registry()), registry);
  EXPECT_EQ(fs::last_write_time(Registry()), written);
  const ProgramResult again = Host({Example("tour.js")});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, Golden("tour.out"));
}

TEST_F(E2eTest, ExampleScripts) {
  SetUpSampleRoot();
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* golden;  // expected standard output, a file of tests/e2e/golden
    const char* error;   // expected in standard error
  } cases[] = {
      {{"list-folders.js"}, 0, "list-folders.out", ""},
      {{"read-message.js", "Inbox"}, 0, "read-message-inbox-0.out", ""},
      {{"read-message.js", "Inbox", "4"}, 0, "read-message-inbox-4.out", ""},
      {{"read-message.js", "Archive/2025", "--id", "7"}, 0, "read-message-id-7.out", ""},
      {{"read-message.js", "2025", "--id", "7"}, 0, "read-message-id-7-short.out", ""},
      {{"read-message.js", "Archive/2025", "0", "--raw"}, 0, "read-message-raw.out", ""},
      {{"read-message.js", "Nowhere"}, 1, nullptr, "Error: no folder \"Nowhere\"\n"},
      {{"read-message.js", "Inbox", "5"}, 1, nullptr,
       "Error: \"Inbox\" holds 5 messages; there is no index 5\n"},
      {{"read-message.js", "Inbox", "--id", "7"}, 1, nullptr,
       "Error: \"Inbox\" holds no message with identifier 7\n"},
      {{"read-message.js"}, 2, nullptr, ""},
      {{"read-message.js", "Inbox", "1", "--id", "2"}, 2, nullptr, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    const std::string label = args[0] + (args.size() > 1 ? " " + args[1] : "") +
                              (args.size() > 2 ? " " + args[2] : "");
    args[0] = Example(args[0]);
    const ProgramResult r = Host(args);
    EXPECT_EQ(r.status, c.status) << label << "\n" << r.err;
    if (c.golden) {
      EXPECT_EQ(r.out, Golden(c.golden)) << label;
      EXPECT_EQ(r.err, "") << label;
    } else if (c.status == 2) {
      EXPECT_TRUE(Contains(r.out, "usage: read-message.js")) << label << "\n" << r.out;
    } else {
      EXPECT_TRUE(Contains(r.err, c.error)) << label << "\n" << r.err;
    }
  }
}

// A library whose registered path is not the built one (the tree moved, or
// another build registered it) is registered again, and only that one.
TEST_F(E2eTest, RegistersAgainOnlyWhatNamesAnotherFile) {
  SetUpSampleRoot();
  const std::string store = fs::canonical(Tool("vornstore.so")).string();
  std::string registry = ReadFile(Registry());
  for (size_t at = registry.find(store); at != std::string::npos; at = registry.find(store)) {
    registry.replace(at, store.size(), "/elsewhere/vornstore.so");
  }
  WriteFile(Registry(), registry);

  const ProgramResult r = SetUpRoot();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "setup-root: registered in " + Root() + ": vornstore.so\n");
  EXPECT_FALSE(Contains(ReadFile(Registry()), "/elsewhere/"));
  EXPECT_EQ(Host({Example("list-folders.js")}).out, Golden("list-folders.out"));
}

// A first set-up stopped during the import goes on with it the next time,
// and what was stored already is not stored twice.
TEST_F(E2eTest, InterruptedSampleImportIsFinishedWithoutDuplicates) {
  SetUpSampleRoot();
  WriteFile(Root() + "/.samples-pending", "");
  const ProgramResult r = SetUpRoot();
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Contains(r.err, "vornimport: 0 stored, 5 skipped as duplicates")) << r.err;
  EXPECT_TRUE(Contains(r.err, "vornimport: 0 stored, 3 skipped as duplicates")) << r.err;
  EXPECT_FALSE(fs::exists(Root() + "/.samples-pending"));
  EXPECT_EQ(Host({Example("list-folders.js")}).out, Golden("list-folders.out"));
}

// A root that already has a store of its own gets the libraries registered
// but no sample mail and no sample contacts.
TEST_F(E2eTest, RootWithAStoreGetsNoSamples) {
  ASSERT_EQ(RunProgram(Tool("vornreg"), {Tool("vornstore.so"), Tool("vornmime.so")}).status, 0);
  ASSERT_EQ(RunProgram(Tool("vornimport"), {"--folder", "Mine", Example("mail/archive.mbox")})
                .status,
            0);

  const ProgramResult r = SetUpRoot();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "setup-root: registered in " + Root() +
                       ": VORNOUTLOOKEXPRESS.OCX vornwab.so\n");
  EXPECT_FALSE(fs::exists(Root() + "/contacts"));
  const std::string folders = Host({Example("list-folders.js")}).out;
  EXPECT_TRUE(Contains(folders, "Mine\n")) << folders;
  EXPECT_TRUE(Contains(folders, "6 folders, 3 messages\n")) << folders;
}

// A tour stopped half-way leaves its folder and perhaps a copy in the Inbox;
// the next tour removes them first and then runs as always.
TEST_F(E2eTest, TourRemovesWhatAnInterruptedTourLeft) {
  SetUpSampleRoot();
  const std::string leave =
      std::string("var c = new ActiveXObject('") + kProgId + "'); c.InitControl();"
      "c.CreateFolder(0, 'Tour');"
      "c.CreateMessage(1, 'Tour Guide <guide@example.org>', 'b@example.org',"
      "                'Written by the tour', 'x');"
      "echo(c.GetFolderCount(), c.GetMessageCount());";
  const ProgramResult left = Host({"-e", leave});
  ASSERT_EQ(left.out, "8 6\n") << left.err;

  const ProgramResult tour = Host({Example("tour.js")});
  EXPECT_EQ(tour.status, 0) << tour.err;
  std::string expected = Golden("tour.out");
  const size_t secondLine = expected.find('\n', expected.find('\n') + 1) + 1;
  expected.insert(secondLine, "(removed what an interrupted tour had left in the store)\n");
  EXPECT_EQ(tour.out, expected);
  EXPECT_EQ(Host({Example("list-folders.js")}).out, Golden("list-folders.out"));
}

// Each tool works on $VORN_ROOT whatever folder it is started from, with
// paths relative to that folder; setup-root makes a relative root absolute
// before it hands it on.
TEST_F(E2eTest, ToolsWorkFromAnyFolder) {
  const std::string elsewhere = vorn_test::MakeTempDir("e2e-cwd");
  ASSERT_EQ(RunIn(BinDir(), "./vornreg",
                  {"VORNOUTLOOKEXPRESS.OCX", "vornstore.so", "vornmime.so", "vornwab.so"})
                .status,
            0);
  EXPECT_TRUE(Contains(ReadFile(Registry()),
                       "@=\"" + fs::canonical(Tool("vornstore.so")).string() + "\"\n"));
  const ProgramResult imported =
      RunIn(SourceDir() + "/examples/mail", Tool("vornimport"), {"Inbox"});
  EXPECT_EQ(imported.status, 0) << imported.err;
  fs::create_directories(Root() + "/contacts");
  fs::copy_file(Example("contacts/contacts.vcf"), Root() + "/contacts/contacts.vcf");
  const ProgramResult listed = RunIn(elsewhere, Tool("vornhost"), {Example("list-folders.js")});
  EXPECT_TRUE(Contains(listed.out, "5 folders, 5 messages\n")) << listed.out << listed.err;
  const ProgramResult read = RunIn(SourceDir() + "/examples", Tool("vornhost"),
                                   {"read-message.js", "Inbox", "4"});
  EXPECT_EQ(read.out, Golden("read-message-inbox-4.out")) << read.err;

  // A relative VORN_ROOT names a folder below the one setup-root starts in.
  const ProgramResult relative = RunIn(
      elsewhere, "env", {"VORN_ROOT=relative/root", SourceDir() + "/scripts/setup-root", "--bin",
                         BinDir()});
  EXPECT_EQ(relative.status, 0) << relative.err;
  EXPECT_TRUE(Contains(relative.err, "registered in " + elsewhere + "/relative/root: "))
      << relative.err;
  const ProgramResult tour = RunIn(elsewhere + "/relative", "env",
                                   {"VORN_ROOT=root", Tool("vornhost"), Example("tour.js")});
  EXPECT_EQ(tour.out, Golden("tour.out")) << tour.err;
  vorn_test::RemoveTree(elsewhere);
}

}  // namespace
