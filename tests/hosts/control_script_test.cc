// vornhost driving the real control against a fresh root in which the module
// and the three services are registered (by their own DllRegisterServer),
// with one multipart message seeded through the store and two contacts.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hosts/script/script_host.h"
#include "platform/loader.h"
#include "platform/runtime.h"
#include "platform/store.h"
#include "runtime/com_ptr.h"
#include "tests/hosts/png_file.h"
#include "tests/hosts/run_program.h"
#include "tests/support/temp_root.h"

namespace {

using vorn_test::BinDir;
using vorn_test::ProgramResult;
using vorn_test::RunProgram;

// The paths of the control module and the three services, separated by ':'.
const char kModules[] = VORN_CONTROL_SCRIPT_MODULES;

std::vector<std::string> ModulePaths() {
  std::vector<std::string> paths;
  std::string all = kModules;
  for (size_t start = 0; start <= all.size();) {
    const size_t end = std::min(all.find(':', start), all.size());
    if (end > start) paths.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return paths;
}

constexpr char kSeededMessage[] =
    "From: =?UTF-8?Q?J=C3=BCrgen?= <juergen@example.org>\r\n"
    "To: Ann <ann@example.org>\r\n"
    "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe_mit_Anhang?=\r\n"
    "Date: Tue, 01 Dec 2026 10:00:00 +0000\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
    "\r\n"
    "--b1\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Transfer-Encoding: 8bit\r\n"
    "\r\n"
    "Hallo, anbei die Liste.\r\n"
    "--b1\r\n"
    "Content-Type: text/plain; name=\"liste.txt\"\r\n"
    "Content-Disposition: attachment; filename=\"liste.txt\"\r\n"
    "\r\n"
    "eins\r\n"
    "--b1--\r\n";

constexpr char kContacts[] =
    "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Zo\xC3\xAB \xC3\x84ngstr\xC3\xB6m\r\nNICKNAME:Zo\r\n"
    "EMAIL;TYPE=INTERNET,PREF:zoe@example.org\r\nEND:VCARD\r\n"
    "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Bob Baker\r\nEMAIL:bob@example.org\r\nEND:VCARD\r\n";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Host() { return BinDir() + "/vornhost"; }

// What GetMessageContent writes for `raw`: the text in reads of 99 bytes,
// each put out as a line, and an empty line for the last read.
std::string ContentOutput(const std::string& raw) {
  std::string out;
  for (size_t at = 0; at < raw.size(); at += 99) out += raw.substr(at, 99) + "\n";
  return out + "\n";
}

// AddressSanitizer keeps freed memory in quarantine, so that the resident
// set grows with what is freed; there the memory check is left to it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kFreedMemoryIsKept = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kFreedMemoryIsKept = true;
#else
constexpr bool kFreedMemoryIsKept = false;
#endif
#else
constexpr bool kFreedMemoryIsKept = false;
#endif

// This process's resident set in kB; 0 when unknown.
long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// Runs a script host under a limit of 256 open files that creates, starts
// and drops `count` controls, twice; ends the process with 0 when every
// InitControl succeeded and the resident set grew by less than `growthKb`
// over the second round, otherwise with 1 after saying why.
[[noreturn]] void CreateAndDropControls(int count, long growthKb) {
  const rlimit limit{256, 256};
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    std::perror("setrlimit");
    std::_Exit(1);
  }
  vornhost::HostOptions options;
  options.err = stderr;
  vornhost::ScriptHost host(std::move(options));
  const std::string loop =
      "for (var i = 0; i < " + std::to_string(count) +
      "; ++i) {\n"
      "  var c = new ActiveXObject('VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1');\n"
      "  if (!c.InitControl()) throw new Error('InitControl failed for control ' + i);\n"
      "  if (c.GetFolderCount() < 5) throw new Error('too few folders');\n"
      "}\n";
  // The first round settles the caches; the second must not grow.
  if (!host.ok() || host.RunScript(loop, "first.js") != 0) std::_Exit(1);
  const long before = ResidentKb();
  if (host.RunScript(loop, "second.js") != 0) std::_Exit(1);
  const long after = ResidentKb();
  if (!kFreedMemoryIsKept && after - before >= growthKb) {
    std::fprintf(stderr, "the resident set grew from %ld kB to %ld kB\n", before, after);
    std::_Exit(1);
  }
  std::_Exit(0);
}

class ControlScriptTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = vorn_test::MakeTempDir("control-script");
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    const std::vector<std::string> modules = ModulePaths();
    ASSERT_EQ(modules.size(), 4u) << kModules;
    for (const std::string& path : modules) {
      HMODULE module = LoadLibraryA(path.c_str());
      ASSERT_NE(module, nullptr) << path;
      auto doRegister =
          reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(module, "DllRegisterServer"));
      ASSERT_NE(doRegister, nullptr) << path;
      ASSERT_EQ(doRegister(), S_OK) << path;
    }
    SeedMessage(kSeededMessage);
    std::filesystem::create_directories(root_.path() + "/contacts");
    std::ofstream(root_.path() + "/contacts/people.vcf", std::ios::binary) << kContacts;
  }
  void TearDown() override {
    CoUninitialize();
    vorn_test::RemoveTree(dir_);
  }

  // Stores `raw` as a new message of the Inbox through the store server.
  void SeedMessage(const std::string& raw) {
    ComPtr<IStoreNamespace> store;
    ASSERT_EQ(CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IStoreNamespace, store.PutVoid()),
              S_OK);
    ASSERT_EQ(store->Initialize(nullptr, 0), S_OK);
    FOLDERPROPS props{};
    props.cbSize = sizeof props;
    HENUMSTORE walk = 0;
    STOREFOLDERID inbox = FOLDERID_INVALID;
    HRESULT hr = store->GetFirstSubFolder(FOLDERID_ROOT, &props, &walk);
    while (hr == S_OK) {
      if (props.sfType == FOLDER_INBOX) inbox = props.dwFolderId;
      hr = store->GetNextSubFolder(walk, &props);
    }
    if (walk) store->GetSubFolderClose(walk);
    ASSERT_NE(inbox, FOLDERID_INVALID);
    ComPtr<IStoreFolder> folder;
    ASSERT_EQ(store->OpenFolder(inbox, 0, folder.Put()), S_OK);
    ComPtr<IStream> stream;
    MESSAGEID id = 0;
    ASSERT_EQ(folder->CreateStream(0, 0, stream.Put(), &id), S_OK);
    ULONG written = 0;
    ASSERT_EQ(stream->Write(raw.data(), static_cast<ULONG>(raw.size()), &written), S_OK);
    ASSERT_EQ(folder->CommitStream(0, 0, 0, stream.Get(), id, nullptr), S_OK);
  }

  std::string WriteScript(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  vorn_test::TempRoot root_;
  std::string dir_;
};

// When InitControl answers false, vornhost says why on one line of standard
// error, in the words of the component that failed; the script sees false.
TEST_F(ControlScriptTest, InitControlThatFailsSaysWhy) {
  const std::string store = root_.path() + "/store/store.db";
  for (const char* suffix : {"-wal", "-shm"}) std::filesystem::remove(store + suffix);
  std::ofstream(store, std::ios::binary | std::ios::trunc) << std::string(4096, 'x');
  ProgramResult r = RunProgram(
      Host(), {"-e", "var c = new ActiveXObject('VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1');"
                     "echo(c.InitControl(), c.GetFolderCount());"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "false 0\n");
  EXPECT_EQ(r.err, "vornhost: InitControl: the mail store file " + store + " is damaged\n");
}

// The golden script and its output live in tests/hosts/scripts.
TEST_F(ControlScriptTest, EveryMethodInRangeAndOutOfRange) {
  const std::string scripts = vorn_test::SourceDir() + "/tests/hosts/scripts/";
  ProgramResult r = RunProgram(Host(), {scripts + "every_method.js"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, ReadFile(scripts + "every_method.out"));
}

TEST_F(ControlScriptTest, WrongCallsGiveClearErrors) {
  const std::string prelude =
      "var c = new ActiveXObject('VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1');\n"
      "c.InitControl();\n";
  struct Case {
    const char* call;
    const char* message;
  } cases[] = {
      {"c.GetFolderName()",
       "GetFolderName: 0x8002000E DISP_E_BADPARAMCOUNT: Invalid number of parameters. "
       "GetFolderName takes 1 argument, not 0."},
      {"c.GetFolderCount(1)",
       "GetFolderCount: 0x8002000E DISP_E_BADPARAMCOUNT: Invalid number of parameters. "
       "GetFolderCount takes 0 arguments, not 1."},
      {"c.CreateMessage(1, 'a', 'b', 'c')",
       "CreateMessage: 0x8002000E DISP_E_BADPARAMCOUNT: Invalid number of parameters. "
       "CreateMessage takes 5 arguments, not 4."},
      {"c.GetFolderName('first')",
       "GetFolderName: 0x80020005 DISP_E_TYPEMISMATCH: Type mismatch. (argument 1)"},
      {"c.RenameFolder(1, null)",
       "RenameFolder: 0x80020005 DISP_E_TYPEMISMATCH: Type mismatch. (argument 2)"},
      {"c.SetFolder(4294967296)",
       "SetFolder: 0x80020005 DISP_E_TYPEMISMATCH: Type mismatch. (argument 1)"},
      {"c.SetFolder(c)", "SetFolder: 0x80020005 DISP_E_TYPEMISMATCH: Type mismatch. (argument 1)"},
  };
  for (const Case& c : cases) {
    const std::string script = WriteScript("wrong.js", prelude + "echo('before');\n" + c.call +
                                                           ";\necho('not reached');\n");
    ProgramResult r = RunProgram(Host(), {script});
    EXPECT_EQ(r.status, 1) << c.call;
    EXPECT_EQ(r.out, "before\n") << c.call;
    EXPECT_EQ(r.err, script + ":4: Error: " + c.message + "\n") << c.call;
  }
}

// A dropped control is released at once, with its store's open files, not
// at the engine's next full collection.
TEST_F(ControlScriptTest, DroppedControlsAreReleasedAtOnce) {
  EXPECT_EXIT(CreateAndDropControls(2500, 16 * 1024), testing::ExitedWithCode(0), "");
}

TEST_F(ControlScriptTest, SyntaxErrorRunsNothing) {
  const std::string script = WriteScript(
      "syntax.js",
      "var c = new ActiveXObject('VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1');\n"
      "echo(c.InitControl());\n"
      "echo(c.GetFolderName(0);\n");
  ProgramResult r = RunProgram(Host(), {script});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, script + ":3: SyntaxError: parse error (line 3)\n");
}

TEST_F(ControlScriptTest, QuitKeepsTheOutputInOrderAndEndsWithItsCode) {
  const std::string script = WriteScript(
      "quit.js",
      "var c = new ActiveXObject('VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1');\n"
      "c.InitControl();\n"
      "c.SetFolder(c.GetFolderId(0));\n"
      "echo('before', host.arguments.join(' '));\n"
      "c.GetMessageContent(c.GetMessageId(0));\n"
      "echo('after');\n"
      "host.quit(3);\n"
      "echo('never');\n");
  ProgramResult r = RunProgram(Host(), {script, "x", "y"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "before x y\n" + ContentOutput(kSeededMessage) + "after\n");
}

// What a mailer writes for a long subject (one encoded word per line, the
// first padded) and a date before 1969 list as written.
TEST_F(ControlScriptTest, FoldedSubjectAndOldDateListRight) {
  SeedMessage(
      "From: =?utf-8?q?J=C3?= =?utf-8?q?=BCrgen?= <juergen@example.org>\r\n"
      "To: ann@example.org\r\n"
      "Subject: Re: =?utf-8?b?Z3I=?=\r\n =?utf-8?b?w7zDn2U=?=\r\n"
      "Date: Fri, 3 Feb 1950 14:30:00 -0500\r\n"
      "\r\n"
      "Old news.\r\n");
  ProgramResult r = RunProgram(
      Host(), {"-e",
               "var c = new ActiveXObject('VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1');\n"
               "c.InitControl();\n"
               "c.SetFolder(c.GetFolderId(0));\n"
               "var i = c.GetMessageCount() - 1;\n"
               "echo(c.GetMessageSubject(i), '|', c.GetMessageNormalSubject(i), '|',\n"
               "     c.GetMessageDisplayFrom(i), '|', c.GetMessageSentTime(i));\n"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "Re: gr\xC3\xBC\xC3\x9F" "e | gr\xC3\xBC\xC3\x9F" "e | J\xC3\xBCrgen | "
                   "1950-2-3 19:30:0\n");
}

TEST_F(ControlScriptTest, ConnectKnowsTheControlsEvents) {
  ProgramResult ok = RunProgram(
      Host(), {"-e",
               "var c = new ActiveXObject('VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1');\n"
               "host.connect(c, { Click: function () {}, MouseDown: function () {} });\n"
               "echo('connected');\n"});
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out, "connected\n");
  ProgramResult bad = RunProgram(
      Host(), {"-e",
               "var c = new ActiveXObject('VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1');\n"
               "host.connect(c, { Clik: function () {} });\n"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err,
            "<code>:2: Error: host.connect: the object has no event \"Clik\" (its events: Click, "
            "DblClick, MouseDown, MouseMove, MouseUp)\n");
}

TEST_F(ControlScriptTest, SnapshotDrawsTheControl) {
  const std::string file = dir_ + "/control.png";
  ProgramResult r = RunProgram(Host(), {"--snapshot", file});
  ASSERT_EQ(r.status, 0) << r.err;
  vorn_test::Picture picture;
  ASSERT_TRUE(vorn_test::ReadPng(file, &picture));
  // The control's own size, black, with its label in red at the top-left
  // corner in the 6 x 10 built-in font.
  ASSERT_EQ(picture.width, 200);
  ASSERT_EQ(picture.height, 40);
  int red = 0, black = 0, other = 0;
  int lastRedX = -1, lastRedY = -1;
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      const uint32_t pixel = picture.At(x, y);
      if (pixel == 0xFF0000FFu) {
        ++red;
        lastRedX = std::max(lastRedX, x);
        lastRedY = std::max(lastRedY, y);
      } else if (pixel == 0x000000FFu) {
        ++black;
      } else {
        ++other;
      }
    }
  }
  EXPECT_EQ(other, 0);
  EXPECT_GT(red, 100);
  EXPECT_LT(lastRedX, 18 * 6);  // "VornOutlookExpress": 18 cells
  EXPECT_LT(lastRedY, 10);
  EXPECT_EQ(picture.At(199, 39), 0x000000FFu);

  const std::string small = dir_ + "/small.png";
  ProgramResult sized = RunProgram(Host(), {"--snapshot", small, "--size", "30x12"});
  ASSERT_EQ(sized.status, 0) << sized.err;
  ASSERT_TRUE(vorn_test::ReadPng(small, &picture));
  EXPECT_EQ(picture.width, 30);
  EXPECT_EQ(picture.height, 12);
  EXPECT_EQ(picture.At(29, 11), 0x000000FFu);

  for (const char* size : {"0x10", "10", "10x", "20000x10", "axb"}) {
    ProgramResult bad = RunProgram(Host(), {"--snapshot", small, "--size", size});
    EXPECT_EQ(bad.status, 2) << size;
    EXPECT_NE(bad.err.find("--size takes WIDTHxHEIGHT"), std::string::npos) << size;
  }
}

}  // namespace
