// vornwab.so as others reach it: loaded by path, its exports called, its
// configuration read from the registry and the platform's root.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/loader.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "platform/wab.h"
#include "tests/services/addressbook/wab_rows.h"
#include "tests/support/temp_root.h"

namespace {

namespace fs = std::filesystem;
using vorn_test::TempRoot;

std::string LibraryPath() { return vorn_test::BinDir() + "/vornwab.so"; }

std::string Card(const std::string& fn, const std::string& email = "") {
  std::string text = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" + fn + "\r\n";
  if (!email.empty()) text += "EMAIL:" + email + "\r\n";
  return text + "END:VCARD\r\n";
}

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// The registry's string value, or "<none>".
std::string RegistryString(HKEY root, const char* key, const char* value) {
  HKEY open = nullptr;
  if (RegOpenKeyExA(root, key, 0, KEY_READ, &open) != ERROR_SUCCESS) return "<none>";
  char buffer[4096] = {};
  DWORD size = sizeof buffer;
  DWORD type = REG_NONE;
  const LONG status =
      RegQueryValueExA(open, value, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
  RegCloseKey(open);
  return status == ERROR_SUCCESS && type == REG_SZ ? std::string(buffer) : "<none>";
}

void SetConfiguredPath(const std::string& path) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, WAB_CONTACTS_KEY, 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, WAB_CONTACTS_PATH_VALUE, 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(path.c_str()),
                           static_cast<DWORD>(path.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

class WabModuleTest : public testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryA(LibraryPath().c_str());
    ASSERT_NE(module_, nullptr);
    open_ = reinterpret_cast<LPWABOPEN>(GetProcAddress(module_, WAB_OPEN_ENTRY));
    ASSERT_NE(open_, nullptr);
  }
  void TearDown() override { FreeLibrary(module_); }

  LPFNREGISTERSERVER Export(const char* name) {
    return reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(module_, name));
  }

  // The display names WABOpen's address book lists, "|"-separated, or the
  // failure text.
  std::string DisplayNames(LPWAB_PARAM params = nullptr) {
    ComPtr<IAddrBook> book;
    ComPtr<IWABObject> wab;
    const HRESULT hr = open_(book.Put(), wab.Put(), params, 0);
    if (hr != S_OK) return "WABOpen failed";
    std::istringstream rows(vorn_test::AddressBookText(book.Get(), wab.Get()));
    std::string names;
    for (std::string line; std::getline(rows, line);) {
      const std::string tag = "PR_DISPLAY_NAME_A ";
      if (line.rfind(tag, 0) == 0) names += (names.empty() ? "" : "|") + line.substr(tag.size());
      if (line.rfind("failed", 0) == 0) return line;
    }
    return names;
  }

  HMODULE module_ = nullptr;
  LPWABOPEN open_ = nullptr;
};

TEST_F(WabModuleTest, ExportsTheEntryPointsOthersLookUp) {
  EXPECT_NE(Export("DllRegisterServer"), nullptr);
  EXPECT_NE(Export("DllUnregisterServer"), nullptr);
  EXPECT_EQ(Export("DllGetClassObject"), nullptr);
  EXPECT_EQ(Export("DllCanUnloadNow"), nullptr);
  IAddrBook* book = reinterpret_cast<IAddrBook*>(1);
  EXPECT_EQ(open_(&book, nullptr, nullptr, 0), E_INVALIDARG);
  EXPECT_EQ(book, nullptr);
}

TEST_F(WabModuleTest, RegistrationRecordsTheLibrarysOwnPathAndUnregistrationRemovesIt) {
  TempRoot root;
  ASSERT_EQ(Export("DllRegisterServer")(), S_OK);
  const std::string registered = RegistryString(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, "");
  EXPECT_EQ(registered, fs::canonical(LibraryPath()).string());
  // Loading the registered path gives this very library.
  HMODULE again = LoadLibraryA(registered.c_str());
  EXPECT_EQ(again, module_);
  FreeLibrary(again);

  ASSERT_EQ(Export("DllRegisterServer")(), S_OK);  // again: same value
  EXPECT_EQ(RegistryString(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, ""), registered);
  ASSERT_EQ(Export("DllUnregisterServer")(), S_OK);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Export("DllUnregisterServer")(), S_OK);  // nothing left to remove
}

TEST_F(WabModuleTest, UnregistrationKeepsOtherSubkeys) {
  TempRoot root;
  ASSERT_EQ(Export("DllRegisterServer")(), S_OK);
  HKEY sub = nullptr;
  const std::string subKey = std::string(WAB_DLL_PATH_KEY) + "\\Other";
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            &sub, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(sub);
  ASSERT_EQ(Export("DllUnregisterServer")(), S_OK);
  EXPECT_EQ(RegistryString(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, ""), "<none>");
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ, &sub), ERROR_SUCCESS);
  RegCloseKey(sub);
}

TEST_F(WabModuleTest, APathTheSessionCouldNotReadIsNotRegistered) {
  // The session reads the path into WAB_DLL_PATH_SIZE bytes; a copy of the
  // library in a deeper folder must refuse to register rather than leave a
  // path that never loads.
  TempRoot root;
  fs::path deep = fs::path(root.path()) / std::string(120, 'd') / std::string(120, 'e');
  fs::create_directories(deep);
  const fs::path copy = deep / "vornwab.so";
  fs::copy_file(LibraryPath(), copy);
  ASSERT_GE(copy.string().size(), WAB_DLL_PATH_SIZE);
  HMODULE copied = LoadLibraryA(copy.c_str());
  ASSERT_NE(copied, nullptr);
  ASSERT_NE(copied, module_);
  auto registerCopy =
      reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(copied, "DllRegisterServer"));
  EXPECT_TRUE(FAILED(registerCopy()));
  EXPECT_EQ(RegistryString(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, ""), "<none>");
  FreeLibrary(copied);
}

TEST_F(WabModuleTest, TheContactsComeFromTheConfiguredPlace) {
  struct Case {
    const char* name;
    const char* configured;  // null: no Path value
    const char* requested;   // WAB_PARAM file name, null: no parameters
    const char* expected;
  };
  const Case cases[] = {
      {"root contacts folder", nullptr, nullptr, "a1|a2|b"},
      {"empty value is no value", "", nullptr, "a1|a2|b"},
      {"absolute folder", "@/elsewhere", nullptr, "x"},
      {"absolute file", "@/elsewhere/x.vcf", nullptr, "x"},
      {"relative to the root", "mine/book.txt", nullptr, "mine"},
      {"configured but missing", "@/nothing-here", nullptr, ""},
      {"parameters win", "@/elsewhere", "@/contacts/b.vcf", "b"},
      {"empty parameter file name", "@/elsewhere", "", "x"},
  };
  for (const Case& c : cases) {
    TempRoot root;
    const auto resolve = [&](const char* text) {
      std::string s = text;
      return s.rfind('@', 0) == 0 ? root.path() + s.substr(1) : s;
    };
    WriteFile(fs::path(root.path()) / "contacts/b.vcf", Card("b"));
    WriteFile(fs::path(root.path()) / "contacts/a.vcf", Card("a1") + Card("a2"));
    WriteFile(fs::path(root.path()) / "elsewhere/x.vcf", Card("x"));
    WriteFile(fs::path(root.path()) / "mine/book.txt", Card("mine"));
    if (c.configured) SetConfiguredPath(resolve(c.configured));
    std::string requested = c.requested ? resolve(c.requested) : std::string();
    WAB_PARAM params{sizeof(WAB_PARAM), nullptr, requested.data(), 0};
    EXPECT_EQ(DisplayNames(c.requested ? &params : nullptr), c.expected) << c.name;
  }
}

TEST_F(WabModuleTest, AnEmptyOrMissingFolderGivesAnEmptyTable) {
  TempRoot root;
  EXPECT_EQ(DisplayNames(), "");
  fs::create_directories(fs::path(root.path()) / "contacts");
  EXPECT_EQ(DisplayNames(), "");
  // Parameters too short to hold a file name are not read for one.
  std::string file = root.path() + "/contacts/a.vcf";
  WriteFile(file, Card("a"));
  WAB_PARAM params{0, nullptr, file.data(), 0};
  EXPECT_EQ(DisplayNames(&params), "a");
}

TEST_F(WabModuleTest, AGoldenFileReadThroughTheLibrary) {
  const fs::path golden = fs::path(vorn_test::SourceDir()) / "tests/data/vcard/qp-latin1.vcf";
  std::string file = golden.string();
  WAB_PARAM params{sizeof(WAB_PARAM), nullptr, file.data(), 0};
  ComPtr<IAddrBook> book;
  ComPtr<IWABObject> wab;
  ASSERT_EQ(open_(book.Put(), wab.Put(), &params, 0), S_OK);
  std::ifstream expected(fs::path(golden).replace_extension(".rows"), std::ios::binary);
  std::ostringstream text;
  text << expected.rdbuf();
  EXPECT_EQ(vorn_test::AddressBookText(book.Get(), wab.Get()), text.str());
}

}  // namespace
