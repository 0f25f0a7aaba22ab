// The tree as a packager ships it: `cmake --install` into a temporary
// prefix, the prefix moved elsewhere, and then only the installed files at
// work. The installed vornreg registers the installed libraries into a fresh
// root, the installed vornimport brings in the installed sample mail, and the
// installed vornhost runs the installed tour, whose output is the tour's
// golden output.

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
using vorn_test::ProgramResult;
using vorn_test::RunProgram;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class InstallTest : public testing::Test {
 protected:
  void TearDown() override { vorn_test::RemoveTree(folder_); }

  vorn_test::TempRoot root_;
  std::string folder_ = vorn_test::MakeTempDir("vorn-install");
};

TEST_F(InstallTest, InstalledToolsRunTheTourFromAFreshRoot) {
  const std::string staged = folder_ + "/staged";
  const ProgramResult install =
      RunProgram(VORN_CMAKE_COMMAND, {"--install", VORN_BUILD_DIR, "--prefix", staged}, "", 120);
  ASSERT_EQ(install.status, 0) << install.out << install.err;
  // Nothing may lead back to where it was installed, let alone to the build.
  fs::rename(staged, folder_ + "/moved");
  const std::string prefix = fs::canonical(folder_ + "/moved").string();

  const std::string bin = prefix + "/" VORN_INSTALL_BINDIR "/";
  const std::string lib = prefix + "/" VORN_INSTALL_LIBDIR "/";
  const std::string share = prefix + "/" VORN_INSTALL_DATADIR "/";
  const std::vector<std::string> programs = {bin + "vornhost", bin + "vornreg",
                                             bin + "vornimport", bin + "vornweb"};
  const std::vector<std::string> libraries = {lib + "VORNOUTLOOKEXPRESS.OCX",
                                              lib + "vornstore.so", lib + "vornmime.so",
                                              lib + "vornwab.so"};
  for (const std::string& file : programs) ASSERT_TRUE(fs::exists(file)) << file;
  for (const std::string& file : libraries) ASSERT_TRUE(fs::exists(file)) << file;
  ASSERT_TRUE(fs::exists(lib + "libvornrt.so"));

  // Switches that only tests may pull are not in what is shipped.
  for (const auto& entry : fs::recursive_directory_iterator(prefix)) {
    if (!entry.is_regular_file()) continue;
    const std::string bytes = ReadFile(entry.path());
    for (const char* hook : {"VORN_TEST", "Recording"}) {
      EXPECT_FALSE(Contains(bytes, hook)) << entry.path() << " holds " << hook;
    }
  }

  const ProgramResult reg = RunProgram(bin + "vornreg", libraries);
  ASSERT_EQ(reg.status, 0) << reg.out << reg.err;
  const std::string registry = ReadFile(root_.path() + "/registry.reg");
  for (const std::string& file : libraries) {
    EXPECT_TRUE(Contains(registry, "@=\"" + file + "\"\n")) << file << "\n" << registry;
  }
  EXPECT_FALSE(Contains(registry, VORN_BUILD_DIR)) << registry;

  const ProgramResult inbox = RunProgram(bin + "vornimport", {share + "mail/Inbox"});
  ASSERT_EQ(inbox.status, 0) << inbox.err;
  const ProgramResult archive = RunProgram(
      bin + "vornimport", {"--folder", "Archive/2025", share + "mail/archive.mbox"});
  ASSERT_EQ(archive.status, 0) << archive.err;
  fs::create_directory(root_.path() + "/contacts");
  fs::copy_file(share + "contacts/contacts.vcf", root_.path() + "/contacts/contacts.vcf");

  const ProgramResult tour = RunProgram(bin + "vornhost", {share + "tour.js"});
  EXPECT_EQ(tour.err, "");
  EXPECT_EQ(tour.status, 0);
  EXPECT_EQ(tour.out, ReadFile(vorn_test::SourceDir() + "/tests/e2e/golden/tour.out"));

  // The installed vornweb serves the page built into it: started, asked for
  // "/" once over bash's /dev/tcp, and stopped.
  const ProgramResult web = RunProgram("/bin/bash", {"-c", R"(
    out=$(mktemp); "$0" > "$out" & pid=$!
    for i in $(seq 200); do line=$(head -n 1 "$out"); [ -n "$line" ] && break; sleep 0.05; done
    port=${line#http://127.0.0.1:}; port=${port%%/*}
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf 'GET / HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nConnection: close\r\n\r\n' "$port" >&3
    cat <&3; kill "$pid"; wait "$pid"; rm -f "$out")", bin + "vornweb"}, "", 30);
  EXPECT_EQ(web.status, 0) << web.err;
  EXPECT_EQ(web.out.rfind("HTTP/1.1 200", 0), 0u) << web.out;
  EXPECT_TRUE(Contains(web.out, "<script src=\"mail.js\"")) << web.out;
}

}  // namespace
