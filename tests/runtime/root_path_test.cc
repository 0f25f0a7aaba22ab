#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/runtime.h"
#include "tests/support/temp_root.h"

namespace {

// Sets or clears environment variables for one test and restores them.
class EnvGuard {
 public:
  explicit EnvGuard(std::initializer_list<const char*> names) {
    for (const char* name : names) {
      const char* value = std::getenv(name);
      saved_.push_back({name, value ? value : "", value != nullptr});
    }
  }
  ~EnvGuard() {
    for (const Saved& s : saved_) {
      if (s.present) {
        setenv(s.name, s.value.c_str(), 1);
      } else {
        unsetenv(s.name);
      }
    }
  }

 private:
  struct Saved {
    const char* name;
    std::string value;
    bool present;
  };
  std::vector<Saved> saved_;
};

std::string Root() {
  char path[4096];
  const DWORD length = VornGetRootPath(path, sizeof(path));
  return length ? std::string(path, length) : std::string();
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

TEST(RootPath, ChosenFromTheEnvironmentAndCreated) {
  EnvGuard guard({"VORN_ROOT", "XDG_DATA_HOME", "HOME"});
  const std::string base = vorn_test::MakeTempDir("vorn-rootpath");
  struct Case {
    const char* root;
    const char* data;
    const char* home;
    std::string expected;
  } cases[] = {
      {"/r/a/b/", "/d", "/h", base + "/r/a/b"},
      {nullptr, "/d", "/h", base + "/d/vorn"},
      {"", "/d", "/h", base + "/d/vorn"},
      {nullptr, nullptr, "/h", base + "/h/.local/share/vorn"},
      {nullptr, "relative/ignored", "/h2", base + "/h2/.local/share/vorn"},
  };
  for (const Case& c : cases) {
    auto set = [&](const char* name, const char* value) {
      if (value) {
        // Absolute test values are placed under the temporary folder.
        setenv(name, value[0] == '/' ? (base + value).c_str() : value, 1);
      } else {
        unsetenv(name);
      }
    };
    set("VORN_ROOT", c.root);
    set("XDG_DATA_HOME", c.data);
    set("HOME", c.home);
    EXPECT_EQ(Root(), c.expected);
    EXPECT_TRUE(IsDirectory(c.expected)) << c.expected;
  }
  unsetenv("VORN_ROOT");
  unsetenv("XDG_DATA_HOME");
  unsetenv("HOME");
  char path[64];
  EXPECT_EQ(VornGetRootPath(path, sizeof(path)), 0u);
  vorn_test::RemoveTree(base);
}

TEST(RootPath, ShortBufferGetsTheLengthOnly) {
  vorn_test::TempRoot root;
  const DWORD length = static_cast<DWORD>(root.path().size());
  std::string buffer(length + 1, 'x');
  EXPECT_EQ(VornGetRootPath(buffer.data(), length), length);
  EXPECT_EQ(buffer, std::string(length + 1, 'x'));
  EXPECT_EQ(VornGetRootPath(nullptr, 0), length);
  EXPECT_EQ(VornGetRootPath(buffer.data(), length + 1), length);
  EXPECT_EQ(buffer, root.path() + '\0');
}

TEST(RootPath, AFileInTheWayIsAFailure) {
  EnvGuard guard({"VORN_ROOT"});
  vorn_test::TempRoot root;
  const std::string file = root.path() + "/file";
  FILE* f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  setenv("VORN_ROOT", (file + "/below").c_str(), 1);
  char path[256];
  EXPECT_EQ(VornGetRootPath(path, sizeof(path)), 0u);
  setenv("VORN_ROOT", file.c_str(), 1);
  EXPECT_EQ(VornGetRootPath(path, sizeof(path)), 0u);
}

}  // namespace
