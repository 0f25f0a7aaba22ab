#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/loader.h"
#include "tests/support/temp_root.h"

namespace {

std::string PlainModulePath() { return vorn_test::BinDir() + "/vorn_test_plain.so"; }

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? resolved : "";
}

bool IsMapped(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

TEST(Loader, LoadsFindsAndUnloads) {
  const std::string path = PlainModulePath();
  ASSERT_FALSE(IsMapped(path));
  HMODULE module = LoadLibraryA(path.c_str());
  ASSERT_NE(module, nullptr);
  auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module, "VornTestPlainAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetProcAddress(module, nullptr), nullptr);

  // A second load is counted: the library stays until both are undone.
  EXPECT_EQ(LoadLibraryA(path.c_str()), module);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(IsMapped(path));
  EXPECT_EQ(answer(), 42);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(IsMapped(path));
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_EQ(GetProcAddress(module, "VornTestPlainAnswer"), nullptr);
}

TEST(Loader, UnknownHandlesAreRefusedNotFollowed) {
  int local = 0;
  static int staticValue = 0;
  HMODULE bogus[] = {nullptr, reinterpret_cast<HMODULE>(&local),
                     reinterpret_cast<HMODULE>(&staticValue),
                     reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x10)),
                     reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0xDEADBEEF0000))};
  for (HMODULE module : bogus) {
    EXPECT_FALSE(FreeLibrary(module));
    EXPECT_EQ(GetProcAddress(module, "VornTestPlainAnswer"), nullptr);
    if (module) {
      char name[64];
      EXPECT_EQ(GetModuleFileNameA(module, name, sizeof(name)), 0u);
    }
  }
  EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
  EXPECT_EQ(LoadLibraryA(""), nullptr);
  EXPECT_EQ(LoadLibraryA("/nonexistent/library.so"), nullptr);
}

TEST(Loader, ModuleFileNamesAndAddresses) {
  const std::string path = PlainModulePath();
  HMODULE module = LoadLibraryA(path.c_str());
  ASSERT_NE(module, nullptr);
  char name[PATH_MAX];
  const DWORD length = GetModuleFileNameA(module, name, sizeof(name));
  EXPECT_EQ(std::string(name), RealPath(path));
  EXPECT_EQ(length, std::strlen(name));

  // Truncated to the buffer, which is always terminated.
  char small[8];
  EXPECT_EQ(GetModuleFileNameA(module, small, sizeof(small)), sizeof(small));
  EXPECT_EQ(std::string(small), RealPath(path).substr(0, 7));

  // Any address inside the library finds the same handle, adding no load.
  void* value = reinterpret_cast<void*>(GetProcAddress(module, "vornTestPlainValue"));
  EXPECT_EQ(VornModuleFromAddress(value), module);
  EXPECT_EQ(*static_cast<int*>(value), 7);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(IsMapped(path));

  // The main program: by null and by one of its own addresses.
  ASSERT_GT(GetModuleFileNameA(nullptr, name, sizeof(name)), 0u);
  EXPECT_EQ(std::string(name), RealPath("/proc/self/exe"));
  HMODULE self = VornModuleFromAddress(reinterpret_cast<const void*>(&PlainModulePath));
  ASSERT_NE(self, nullptr);
  char selfName[PATH_MAX];
  ASSERT_GT(GetModuleFileNameA(self, selfName, sizeof(selfName)), 0u);
  EXPECT_STREQ(selfName, name);
  EXPECT_FALSE(FreeLibrary(self));  // found, not loaded: nothing to undo

  // The runtime itself.
  HMODULE runtime = VornModuleFromAddress(reinterpret_cast<const void*>(&LoadLibraryA));
  ASSERT_NE(runtime, nullptr);
  EXPECT_NE(runtime, self);
  ASSERT_GT(GetModuleFileNameA(runtime, name, sizeof(name)), 0u);
  EXPECT_EQ(std::string(name), RealPath(vorn_test::BinDir() + "/libvornrt.so"));

  // A library loaded some other way is found by address and searched, but
  // not unloaded: FreeLibrary undoes only loads it counted.
  void* direct = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(direct, nullptr);
  void* function = dlsym(direct, "VornTestPlainAnswer");
  HMODULE found = VornModuleFromAddress(function);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(found, "VornTestPlainAnswer")), function);
  EXPECT_FALSE(FreeLibrary(found));
  EXPECT_TRUE(IsMapped(path));
  dlclose(direct);
  EXPECT_FALSE(IsMapped(path));
  int onStack = 0;
  EXPECT_EQ(VornModuleFromAddress(&onStack), nullptr);
  EXPECT_EQ(VornModuleFromAddress(nullptr), nullptr);
}

}  // namespace
