// The registry file shared between processes: concurrent writers, a crash in
// the middle of a write, failing system calls, a file that cannot be read,
// and changes made by another process.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/runtime/registry_helpers.h"
#include "tests/support/fault_io.h"
#include "tests/support/temp_root.h"

namespace {

using vorn_test::GetString;
using vorn_test::ReadFileBytes;
using vorn_test::SetDword;
using vorn_test::SetString;
using vorn_test::SubkeyNames;
using vorn_test::WriteFileBytes;

// Runs `body` in a child process and returns its exit status (-1 when it did
// not exit normally). The child never returns into the test framework.
template <class Body>
int InChild(Body body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

class RegistrySharing : public testing::Test {
 protected:
  std::string File() const { return root_.path() + "/registry.reg"; }
  vorn_test::TempRoot root_;
  vorn_test::FaultIo io_;
};

TEST_F(RegistrySharing, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kKeysEach = 200;
  int ready[2];
  int go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  std::vector<pid_t> children;
  for (int writer = 0; writer < 2; ++writer) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Both start together, when the parent says so.
      char byte = 'r';
      if (write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) _exit(2);
      for (int i = 0; i < kKeysEach; ++i) {
        const std::string key =
            "Software\\Writer" + std::to_string(writer) + "\\Key" + std::to_string(i);
        if (SetDword(HKEY_CURRENT_USER, key.c_str(), "Index", static_cast<DWORD>(i)) != 0) {
          _exit(3);
        }
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  char byte;
  for (int i = 0; i < 2; ++i) ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ASSERT_EQ(write(go[1], "gg", 2), 2);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);

  int found = 0;
  for (int writer = 0; writer < 2; ++writer) {
    const std::string parent = "Software\\Writer" + std::to_string(writer);
    found += static_cast<int>(SubkeyNames(HKEY_CURRENT_USER, parent.c_str()).size());
    for (int i = 0; i < kKeysEach; i += 37) {
      HKEY key = nullptr;
      const std::string path = parent + "\\Key" + std::to_string(i);
      ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), 0) << path;
      DWORD value = 0;
      DWORD size = sizeof(value);
      EXPECT_EQ(RegQueryValueExA(key, "Index", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                                 &size),
                0);
      EXPECT_EQ(value, static_cast<DWORD>(i));
      RegCloseKey(key);
    }
  }
  EXPECT_EQ(found, 2 * kKeysEach);
}

TEST_F(RegistrySharing, ACrashBeforeTheRenameLeavesThePreviousFileWhole) {
  ASSERT_EQ(SetString(HKEY_LOCAL_MACHINE, "Software\\Vorn", "State", "before"), 0);
  const std::string before = ReadFileBytes(File());
  const int status = InChild([this] {
    io_.CrashBeforeRename();
    SetString(HKEY_LOCAL_MACHINE, "Software\\Vorn", "State", "after");
    return 0;  // not reached when the crash happens
  });
  EXPECT_EQ(status, vorn_test::FaultIo::kCrashExitStatus);
  EXPECT_EQ(ReadFileBytes(File()), before);
  // The new content had been written in full, only not put in place.
  EXPECT_NE(ReadFileBytes(File() + ".tmp").find("\"State\"=\"after\""), std::string::npos);
  EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, "Software\\Vorn", "State"), "before");
  // The next writer is not disturbed by what the crash left.
  ASSERT_EQ(SetString(HKEY_LOCAL_MACHINE, "Software\\Vorn", "State", "later"), 0);
  EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, "Software\\Vorn", "State"), "later");
  EXPECT_FALSE(FileExists(File() + ".tmp"));
}

TEST_F(RegistrySharing, FailingSystemCallsChangeNothing) {
  struct Case {
    const char* call;
    LONG expected;
  } cases[] = {
      {"open", ERROR_ACCESS_DENIED}, {"flock", ERROR_CANTWRITE}, {"write", ERROR_DISK_FULL},
      {"fsync", ERROR_CANTWRITE},    {"close", ERROR_CANTWRITE}, {"rename", ERROR_CANTWRITE},
  };
  ASSERT_EQ(SetString(HKEY_LOCAL_MACHINE, "Software\\Vorn", "State", "old"), 0);
  const std::string before = ReadFileBytes(File());
  for (const Case& c : cases) {
    io_.Fail(c.call);
    EXPECT_EQ(SetString(HKEY_LOCAL_MACHINE, "Software\\Vorn", "State", "new"), c.expected)
        << c.call;
    EXPECT_EQ(SetString(HKEY_LOCAL_MACHINE, "Software\\Vorn\\Added", "v", "x"), c.expected)
        << c.call;
    io_.Clear();
    EXPECT_EQ(ReadFileBytes(File()), before) << c.call;
    EXPECT_FALSE(FileExists(File() + ".tmp")) << c.call;
    // What this process sees is the file, not the change it failed to make.
    EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, "Software\\Vorn", "State"), "old") << c.call;
    EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE, "Software\\Vorn").size(), 0u) << c.call;
  }
  // Reads that fail are reported, not taken for an empty registry.
  const std::string changed = "Vorn Registry Version 1\n\n[HKEY_LOCAL_MACHINE\\X]\n";
  WriteFileBytes(File(), changed);
  io_.Fail("read");
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "X", 0, KEY_READ, &key), ERROR_CANTREAD);
  EXPECT_EQ(SetString(HKEY_LOCAL_MACHINE, "Y", "v", "1"), ERROR_CANTREAD);
  io_.Clear();
  EXPECT_EQ(ReadFileBytes(File()), changed);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "X", 0, KEY_READ, &key), 0);
  RegCloseKey(key);
}

TEST_F(RegistrySharing, AFileThatCannotBeParsedIsReportedOnceAndLeftAlone) {
  const std::string corrupt =
      "Vorn Registry Version 1\n"
      "\n"
      "[HKEY_CURRENT_USER\\Software]\n"
      "\"Broken\"=dword:xyz\n"
      "[HKEY_CURRENT_USER\\Software\\After]\n";
  WriteFileBytes(File(), corrupt);
  const DWORD one = 1;
  auto everything = [&] {
    HKEY key = nullptr;
    DWORD size = 0;
    char name[16];
    DWORD length = sizeof(name);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_BADDB);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "New", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              nullptr),
              ERROR_BADDB);
    EXPECT_EQ(RegSetValueExA(HKEY_CURRENT_USER, "v", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_BADDB);
    EXPECT_EQ(RegQueryValueExA(HKEY_CURRENT_USER, "v", nullptr, nullptr, nullptr, &size),
              ERROR_BADDB);
    EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "Software"), ERROR_BADDB);
    EXPECT_EQ(RegDeleteValueA(HKEY_CURRENT_USER, "v"), ERROR_BADDB);
    EXPECT_EQ(RegEnumKeyExA(HKEY_CURRENT_USER, 0, name, &length, nullptr, nullptr, nullptr,
                            nullptr),
              ERROR_BADDB);
  };
  testing::internal::CaptureStderr();
  everything();
  const std::string firstReport = testing::internal::GetCapturedStderr();
  EXPECT_NE(firstReport.find(File() + " line 4"), std::string::npos) << firstReport;
  EXPECT_EQ(firstReport.find('\n'), firstReport.size() - 1) << "one line: " << firstReport;
  testing::internal::CaptureStderr();
  everything();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(ReadFileBytes(File()), corrupt);
  EXPECT_FALSE(FileExists(File() + ".tmp"));

  // Once mended, the registry is usable again.
  const std::string mended =
      "Vorn Registry Version 1\n[HKEY_CURRENT_USER\\Software]\n\"Broken\"=dword:1\n";
  WriteFileBytes(File(), mended);
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, "Software", "Broken"), "<type 4>");
  EXPECT_EQ(SetString(HKEY_CURRENT_USER, "Software", "Fixed", "yes"), 0);
}

TEST_F(RegistrySharing, ChangesByAnotherProcessAreSeen) {
  ASSERT_EQ(SetString(HKEY_CLASSES_ROOT, "Shared\\Inner", "Value", "mine"), 0);
  HKEY inner = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Shared\\Inner", 0, KEY_READ, &inner), 0);
  EXPECT_EQ(GetString(inner, nullptr, "Value"), "mine");  // now cached here

  EXPECT_EQ(InChild([] {
              return SetString(HKEY_CLASSES_ROOT, "Shared\\Inner", "Value", "theirs") == 0 &&
                             SetString(HKEY_CLASSES_ROOT, "Shared\\Other", "x", "1") == 0
                         ? 0
                         : 1;
            }),
            0);
  EXPECT_EQ(GetString(inner, nullptr, "Value"), "theirs");
  EXPECT_EQ(SubkeyNames(HKEY_CLASSES_ROOT, "Shared"),
            (std::vector<std::string>{"Inner", "Other"}));

  EXPECT_EQ(InChild([] { return RegDeleteTreeA(HKEY_CLASSES_ROOT, "Shared") == 0 ? 0 : 1; }), 0);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(inner, "Value", nullptr, nullptr, nullptr, &size),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(inner), 0);
}

}  // namespace
