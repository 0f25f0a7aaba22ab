#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/runtime/registry_helpers.h"
#include "tests/support/temp_root.h"

namespace {

using vorn_test::GetString;
using vorn_test::SetDword;
using vorn_test::SetString;
using vorn_test::SubkeyNames;

class Registry : public testing::Test {
 protected:
  vorn_test::TempRoot root_;
};

HKEY Create(HKEY parent, const char* path, DWORD* disposition = nullptr) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, disposition),
            ERROR_SUCCESS)
      << path;
  return key;
}

TEST_F(Registry, KeysAreCreatedWithTheirParentsAndFoundInAnyCase) {
  DWORD disposition = 0;
  HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\Vorn\\Store", &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\vorn\\store", &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  HKEY opened = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software", 0, KEY_READ, &opened), ERROR_SUCCESS);
  HKEY nested = nullptr;
  EXPECT_EQ(RegOpenKeyExA(opened, "VORN\\Store\\", 0, KEY_READ, &nested), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(nested), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(opened), ERROR_SUCCESS);

  // The case first written is the one kept.
  EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE, "software"), std::vector<std::string>{"Vorn"});
  // Roots are separate trees.
  HKEY missing = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &missing),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Software\\Vorn", 0, KEY_READ, &missing),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, ValuesOfEachTypeAndTheDefaultValue) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Vorn\\Values");
  const std::string text = "/usr/lib/vorn/vornwab.so";
  const DWORD number = 0xA1B2C3D4;
  ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1)),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                           4),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Search", 0, REG_EXPAND_SZ,
                           reinterpret_cast<const BYTE*>("$HOME/bin"), 10),
            ERROR_SUCCESS);
  // Taken up to the first NUL within the size given, or the size itself.
  ASSERT_EQ(RegSetValueExA(key, "Cut", 0, REG_SZ, reinterpret_cast<const BYTE*>("ab\0cd"), 5),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Unterminated", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>("abcdef"), 3),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Empty", 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);

  struct Case {
    const char* name;
    DWORD type;
    std::string bytes;
  } cases[] = {
      {nullptr, REG_SZ, text + '\0'},
      {"", REG_SZ, text + '\0'},
      {"NUMBER", REG_DWORD, std::string(reinterpret_cast<const char*>(&number), 4)},
      {"search", REG_EXPAND_SZ, std::string("$HOME/bin", 10)},
      {"Cut", REG_SZ, std::string("ab", 3)},
      {"Unterminated", REG_SZ, std::string("abc", 4)},
      {"Empty", REG_SZ, std::string(1, '\0')},
  };
  for (const Case& c : cases) {
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExA(key, c.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS)
        << c.name;
    EXPECT_EQ(type, c.type) << c.name;
    EXPECT_EQ(size, c.bytes.size()) << c.name;
    std::string data(size, 'x');
    ASSERT_EQ(RegQueryValueExA(key, c.name, nullptr, nullptr,
                               reinterpret_cast<BYTE*>(data.data()), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(data, c.bytes) << c.name;
  }
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Nothing", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  // A value name keeps its first case when written again in another.
  ASSERT_EQ(RegSetValueExA(key, "NUMBER", 0, REG_SZ, reinterpret_cast<const BYTE*>("n"), 2),
            ERROR_SUCCESS);
  char name[32];
  DWORD nameLength = sizeof(name);
  DWORD type = 0;
  ASSERT_EQ(RegEnumValueA(key, 3, name, &nameLength, nullptr, &type, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "Number");
  EXPECT_EQ(type, REG_SZ);
  RegCloseKey(key);
}

TEST_F(Registry, QueryNeverWritesPastTheCallersBuffer) {
  const std::string text = "0123456789";  // 11 bytes with its NUL
  ASSERT_EQ(SetString(HKEY_LOCAL_MACHINE, "Software\\Big", "", text), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, "Software\\Big", "Word", 7), ERROR_SUCCESS);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Big", 0, KEY_READ, &key), ERROR_SUCCESS);
  struct Case {
    const char* name;
    DWORD given;
    LONG expected;
    DWORD sizeAfter;
  } cases[] = {
      {"", 0, ERROR_MORE_DATA, 11},    {"", 1, ERROR_MORE_DATA, 11},
      {"", 10, ERROR_MORE_DATA, 11},   {"", 11, ERROR_SUCCESS, 11},
      {"", 20, ERROR_SUCCESS, 11},     {"Word", 3, ERROR_MORE_DATA, 4},
      {"Word", 4, ERROR_SUCCESS, 4},
  };
  for (const Case& c : cases) {
    std::vector<char> buffer(32, '#');
    DWORD size = c.given;
    EXPECT_EQ(RegQueryValueExA(key, c.name, nullptr, nullptr,
                               reinterpret_cast<BYTE*>(buffer.data()), &size),
              c.expected)
        << c.name << " " << c.given;
    EXPECT_EQ(size, c.sizeAfter);
    const size_t written = c.expected == ERROR_SUCCESS ? c.sizeAfter : 0;
    for (size_t i = written; i < buffer.size(); ++i) {
      ASSERT_EQ(buffer[i], '#') << c.name << " " << c.given << " byte " << i;
    }
  }
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, reinterpret_cast<BYTE*>(&size), nullptr),
            ERROR_INVALID_PARAMETER);
  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExA(key, "", &reserved, nullptr, nullptr, &size),
            ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
}

TEST_F(Registry, BadWritesAreRefused) {
  HKEY key = Create(HKEY_CURRENT_USER, "Refusals");
  const DWORD number = 1;
  struct Case {
    const char* what;
    const char* name;
    DWORD type;
    const void* data;
    DWORD size;
  } cases[] = {
      {"dword of 3 bytes", "a", REG_DWORD, &number, 3},
      {"dword of 8 bytes", "a", REG_DWORD, &number, 8},
      {"dword without data", "a", REG_DWORD, nullptr, 4},
      {"binary", "a", REG_BINARY, &number, 4},
      {"unknown type", "a", 77, &number, 4},
      {"string size without data", "a", REG_SZ, nullptr, 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RegSetValueExA(key, c.name, 0, c.type, static_cast<const BYTE*>(c.data), c.size),
              ERROR_INVALID_PARAMETER)
        << c.what;
  }
  EXPECT_EQ(RegSetValueExA(key, "a", 1, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
            ERROR_INVALID_PARAMETER);
  const std::string longName(16384, 'n');
  EXPECT_EQ(RegSetValueExA(key, longName.c_str(), 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&number), 4),
            ERROR_INVALID_PARAMETER);
  char name[8];
  DWORD length = sizeof(name);
  EXPECT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);

  const std::string longKey(256, 'k');
  for (const char* path : {"a\\\\b", "\\a", "a\tb", "a\nb", longKey.c_str()}) {
    HKEY out = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegCreateKeyExA(key, path, 0, nullptr, 0, KEY_WRITE, nullptr, &out, nullptr),
              ERROR_INVALID_PARAMETER)
        << path;
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_TRUE(SubkeyNames(key, nullptr).empty());
  const std::string longestKey(255, 'k');
  HKEY out = Create(key, longestKey.c_str());
  RegCloseKey(out);
  RegCloseKey(key);
}

TEST_F(Registry, EnumerationIsInNameOrderIgnoringCase) {
  HKEY key = Create(HKEY_CLASSES_ROOT, "Order");
  for (const char* name : {"beta", "Alpha", "gamma", "ALPHA\\Child", "Delta"}) {
    RegCloseKey(Create(key, name));
  }
  EXPECT_EQ(SubkeyNames(key, nullptr),
            (std::vector<std::string>{"Alpha", "beta", "Delta", "gamma"}));

  char name[6];
  DWORD length = 5;  // "Alpha" needs 6 with its NUL
  std::memset(name, '#', sizeof(name));
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(name[0], '#');
  length = 6;
  FILETIME written{1, 1};
  char className[4] = "xyz";
  DWORD classLength = sizeof(className);
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &length, nullptr, className, &classLength, &written),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "Alpha");
  EXPECT_STREQ(className, "");
  EXPECT_EQ(classLength, 0u);
  EXPECT_EQ(RegEnumKeyExA(key, 4, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);

  // Values: the default value first, then by name.
  const DWORD one = 1;
  for (const char* value : {"zeta", "Eta", "", "theta"}) {
    ASSERT_EQ(RegSetValueExA(key, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_SUCCESS);
  }
  std::vector<std::string> values;
  for (DWORD index = 0;; ++index) {
    char valueName[16];
    DWORD valueLength = sizeof(valueName);
    DWORD data = 0;
    DWORD dataSize = sizeof(data);
    const LONG status = RegEnumValueA(key, index, valueName, &valueLength, nullptr, nullptr,
                                      reinterpret_cast<BYTE*>(&data), &dataSize);
    if (status != ERROR_SUCCESS) {
      EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
      break;
    }
    EXPECT_EQ(data, 1u);
    values.emplace_back(valueName, valueLength);
  }
  EXPECT_EQ(values, (std::vector<std::string>{"", "Eta", "theta", "zeta"}));
  // Data that does not fit: sizes reported, nothing written.
  char valueName[16];
  DWORD valueLength = sizeof(valueName);
  BYTE data[2] = {9, 9};
  DWORD dataSize = sizeof(data);
  EXPECT_EQ(RegEnumValueA(key, 1, valueName, &valueLength, nullptr, nullptr, data, &dataSize),
            ERROR_MORE_DATA);
  EXPECT_EQ(dataSize, 4u);
  EXPECT_EQ(valueLength, 3u);
  EXPECT_EQ(data[0], 9);
  RegCloseKey(key);
}

TEST_F(Registry, DeletingValuesKeysAndTrees) {
  HKEY key = Create(HKEY_CURRENT_USER, "Tree");
  RegCloseKey(Create(key, "A\\B\\C"));
  RegCloseKey(Create(key, "Leaf"));
  ASSERT_EQ(SetString(key, "A", "v", "1"), ERROR_SUCCESS);
  ASSERT_EQ(SetString(key, nullptr, "w", "2"), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteValueA(key, "W"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "w"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(key, "A"), ERROR_ACCESS_DENIED);  // it has subkeys
  EXPECT_EQ(RegDeleteKeyA(key, "leaf"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(key, "Leaf"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(key, "A\\B\\C"), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(key, "A"), std::vector<std::string>{"B"});
  RegCloseKey(Create(key, "A\\B\\C"));
  EXPECT_EQ(RegDeleteTreeA(key, "a"), ERROR_SUCCESS);
  EXPECT_TRUE(SubkeyNames(key, nullptr).empty());
  EXPECT_EQ(RegDeleteTreeA(key, "a"), ERROR_FILE_NOT_FOUND);

  // With no subkey named, the tree below goes and the key stays.
  RegCloseKey(Create(key, "X\\Y"));
  ASSERT_EQ(SetString(key, nullptr, "kept?", "no"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeA(key, nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(SubkeyNames(key, nullptr).empty());
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "kept?", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, nullptr), std::vector<std::string>{"Tree"});

  // Roots stay.
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, ""), ERROR_SUCCESS);
  EXPECT_TRUE(SubkeyNames(HKEY_CURRENT_USER, nullptr).empty());
  RegCloseKey(key);
}

TEST_F(Registry, UnknownAndClosedHandlesAreRefused) {
  HKEY key = Create(HKEY_CURRENT_USER, "Handles");
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  int local = 0;
  const HKEY bad[] = {nullptr, key, reinterpret_cast<HKEY>(&local),
                      reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000003u)),
                      reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1))};
  const DWORD one = 1;
  for (HKEY handle : bad) {
    HKEY out = nullptr;
    char name[8];
    DWORD length = sizeof(name);
    DWORD size = 0;
    EXPECT_EQ(RegOpenKeyExA(handle, "x", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCreateKeyExA(handle, "x", 0, nullptr, 0, KEY_WRITE, nullptr, &out, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExA(handle, "x", nullptr, nullptr, nullptr, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExA(handle, "x", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteValueA(handle, "x"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteKeyA(handle, "x"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteTreeA(handle, "x"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegEnumKeyExA(handle, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegEnumValueA(handle, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(handle), ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, nullptr), std::vector<std::string>{"Handles"});
}

TEST_F(Registry, KeysDeletedWhileOpenStayDeleted) {
  HKEY parent = Create(HKEY_CURRENT_USER, "Doomed");
  HKEY child = Create(parent, "Child");
  HKEY sibling = Create(HKEY_CURRENT_USER, "Doomed2");
  ASSERT_EQ(SetString(child, nullptr, "v", "1"), ERROR_SUCCESS);
  HKEY other = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, nullptr, 0, KEY_ALL_ACCESS, &other), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTreeA(other, "doomed"), ERROR_SUCCESS);

  const DWORD one = 1;
  for (HKEY gone : {parent, child}) {
    HKEY out = nullptr;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(gone, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueExA(gone, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExA(gone, "x", 0, nullptr, 0, KEY_WRITE, nullptr, &out, nullptr),
              ERROR_KEY_DELETED);
  }
  // Re-creating the path does not bring the old handles back.
  RegCloseKey(Create(HKEY_CURRENT_USER, "Doomed\\Child"));
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(child, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegSetValueExA(sibling, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
            ERROR_SUCCESS);
  for (HKEY handle : {parent, child, sibling, other}) EXPECT_EQ(RegCloseKey(handle), ERROR_SUCCESS);
}

TEST_F(Registry, EverythingIsKeptInTheRootFolder) {
  ASSERT_EQ(SetString(HKEY_LOCAL_MACHINE, "Software\\Vorn", "Name", "kept"), ERROR_SUCCESS);
  {
    // Another root sees another registry.
    vorn_test::TempRoot other;
    EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, "Software\\Vorn", "Name"), "<error 2>");
    ASSERT_EQ(SetString(HKEY_LOCAL_MACHINE, "Software\\Vorn", "Name", "other"), ERROR_SUCCESS);
  }
  EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, "Software\\Vorn", "Name"), "kept");
  const std::string text = vorn_test::ReadFileBytes(root_.path() + "/registry.reg");
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Vorn]\n\"Name\"=\"kept\"\n"),
            std::string::npos)
      << text;
}

}  // namespace
