// The same control, scripts and tools with the mail on an IMAP server: a
// root set up by scripts/setup-root --imap against this program's Dovecot
// gives the tour and the example scripts the output they give over the
// local store (the same golden files), and vornexport writes the same
// files from either store.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/hosts/run_program.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/temp_root.h"

namespace {

namespace fs = std::filesystem;
using vorn_test::BinDir;
using vorn_test::ProgramResult;
using vorn_test::RunProgram;
using vorn_test::SourceDir;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Example(const std::string& name) { return SourceDir() + "/examples/" + name; }
std::string Golden(const std::string& name) {
  return ReadFile(SourceDir() + "/tests/e2e/golden/" + name);
}
ProgramResult Host(const std::vector<std::string>& args) {
  return RunProgram(BinDir() + "/vornhost", args);
}
bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Every file below `dir`, by its path relative to `dir`, with its bytes.
std::map<std::string, std::string> Tree(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) {
      files[fs::relative(entry.path(), dir).string()] = ReadFile(entry.path().string());
    }
  }
  return files;
}

vorn_test::DovecotServer& Server() { return vorn_test::DovecotServer::Shared({}); }

class ImapE2eTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Server().ok()) << Server().error(); }

  // scripts/setup-root for `user`'s account in the current root.
  ProgramResult SetUpImapRoot(const std::string& user) {
    const std::string passwordFile = root_.path() + "/password";
    std::ofstream(passwordFile) << vorn_test::kDovecotPassword << "\n";
    chmod(passwordFile.c_str(), 0600);
    return RunProgram(SourceDir() + "/scripts/setup-root",
                      {"--bin", BinDir(), "--imap", "127.0.0.1:" + std::to_string(Server().port()),
                       "--user", user, "--password-file", passwordFile});
  }

  vorn_test::TempRoot root_;
};

TEST_F(ImapE2eTest, TourAndExamplesOverImapGiveTheLocalStoresOutput) {
  const std::string user = Server().NewUser();
  const ProgramResult first = SetUpImapRoot(user);
  ASSERT_EQ(first.status, 0) << first.err;
  for (const std::string& said :
       {std::string(": VORNOUTLOOKEXPRESS.OCX vornimap.so vornmime.so vornwab.so\n"),
        std::string("vornimport: 5 stored, 0 skipped as duplicates, 0 failed (into Inbox"),
        std::string("vornimport: 3 stored, 0 skipped as duplicates, 0 failed (into Archive/2025")}) {
    EXPECT_TRUE(Contains(first.err, said)) << said << "\nnot in:\n" << first.err;
  }
  EXPECT_FALSE(Contains(ReadFile(root_.path() + "/registry.reg"), vorn_test::kDovecotPassword));

  const ProgramResult tour = Host({Example("tour.js")});
  EXPECT_EQ(tour.status, 0) << tour.err;
  EXPECT_EQ(tour.out, Golden("tour.out"));
  const struct {
    std::vector<std::string> args;
    const char* golden;
  } cases[] = {
      {{"list-folders.js"}, "list-folders.out"},
      {{"read-message.js", "Inbox", "4"}, "read-message-inbox-4.out"},
      {{"read-message.js", "Archive/2025", "--id", "7"}, "read-message-id-7.out"},
      {{"read-message.js", "Archive/2025", "0", "--raw"}, "read-message-raw.out"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args[0] = Example(args[0]);
    const ProgramResult r = Host(args);
    EXPECT_EQ(r.out, Golden(c.golden)) << c.golden << "\n" << r.err;
  }

  // Again: nothing to do; and a second root on the same account, which
  // holds mail now, gets no samples.
  const ProgramResult second = SetUpImapRoot(user);
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.err, "");
  // As scripts/run does it: the root stays on its account.
  const ProgramResult plain = RunProgram(SourceDir() + "/scripts/setup-root", {"--bin", BinDir()});
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.err, "");
  EXPECT_EQ(Host({Example("tour.js")}).out, Golden("tour.out"));
  {
    vorn_test::TempRoot another;
    const ProgramResult other = SetUpImapRoot(user);
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_FALSE(Contains(other.err, "importing")) << other.err;
    EXPECT_TRUE(Contains(Host({Example("list-folders.js")}).out, "8 messages")) << other.err;
  }
}

// Bad account input stops the set-up with its reason and writes nothing it
// should not: no registry for a bad port, no account value for a bad key.
TEST_F(ImapE2eTest, BadAccountInputIsRefusedWithItsReason) {
  const std::string setUp = SourceDir() + "/scripts/setup-root";
  const std::string passwordFile = root_.path() + "/password";
  std::ofstream(passwordFile) << vorn_test::kDovecotPassword << "\n";
  chmod(passwordFile.c_str(), 0644);
  ProgramResult r = RunProgram(setUp, {"--bin", BinDir(), "--imap", "127.0.0.1:imap", "--user",
                                       "u", "--password-file", passwordFile});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "not a port number")) << r.err;
  EXPECT_FALSE(fs::exists(root_.path() + "/registry.reg"));

  r = RunProgram(setUp, {"--bin", BinDir(), "--imap",
                         "127.0.0.1:" + std::to_string(Server().port()), "--user",
                         Server().NewUser(), "--password-file", passwordFile});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "may be read by others than its owner")) << r.err;
  EXPECT_FALSE(Contains(r.err, vorn_test::kDovecotPassword));

  const std::string registry = ReadFile(root_.path() + "/registry.reg");
  const std::string vornreg = BinDir() + "/vornreg";
  EXPECT_EQ(RunProgram(vornreg, {"--set", "HKEY_NOWHERE\\Vorn", "Port", "1"}).status, 2);
  EXPECT_EQ(RunProgram(vornreg, {"--set", "HKEY_CURRENT_USER\\Software\\Vorn\\Imap", "Port",
                                 "dword:0x1FFFFFFFF"})
                .status,
            2);
  EXPECT_EQ(ReadFile(root_.path() + "/registry.reg"), registry);
}

// vornexport writes from the IMAP account exactly the files it writes from
// a local store holding the same samples.
TEST_F(ImapE2eTest, ExportFromImapMatchesTheLocalStoresExport) {
  const ProgramResult imap = SetUpImapRoot(Server().NewUser());
  ASSERT_EQ(imap.status, 0) << imap.err;
  const std::string fromImap = root_.path() + "/export";
  for (const char* format : {"eml", "maildir"}) {
    SCOPED_TRACE(format);
    fs::remove_all(fromImap);
    ProgramResult exported =
        RunProgram(BinDir() + "/vornexport", {"--format", format, fromImap});
    ASSERT_EQ(exported.status, 0) << exported.err;
    std::map<std::string, std::string> imapFiles = Tree(fromImap);
    vorn_test::TempRoot local;
    ASSERT_EQ(RunProgram(SourceDir() + "/scripts/setup-root", {"--bin", BinDir()}).status, 0);
    exported = RunProgram(BinDir() + "/vornexport", {"--format", format, local.path() + "/x"});
    ASSERT_EQ(exported.status, 0) << exported.err;
    std::map<std::string, std::string> localFiles = Tree(local.path() + "/x");
    EXPECT_EQ(imapFiles.size(), 8u);
    EXPECT_EQ(imapFiles, localFiles);
  }
}

}  // namespace
