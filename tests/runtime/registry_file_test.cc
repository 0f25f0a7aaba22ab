// The registry file's reader and writer on their own, and the golden files
// in tests/data/registry: what the writer produces for a known set of keys,
// byte for byte, and what reading those files gives back.

#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "runtime/registry_file.h"
#include "tests/runtime/registry_helpers.h"
#include "tests/support/temp_root.h"

namespace {

using vorn_rt::FormatRegistryText;
using vorn_rt::ParseError;
using vorn_rt::ParseRegistryText;
using vorn_rt::RegistryTree;
using vorn_test::GetString;
using vorn_test::SetDword;
using vorn_test::SetString;

std::string Golden(const char* name) {
  return vorn_test::ReadFileBytes(vorn_test::SourceDir() + "/tests/data/registry/" + name);
}

std::string RegistryFile(const vorn_test::TempRoot& root) {
  return vorn_test::ReadFileBytes(root.path() + "/registry.reg");
}

constexpr char kThingClsid[] = "{3E3A653F-8353-4A69-927C-CE38930D59D4}";

// The keys a component library and a user's settings typically hold.
void WriteClassesKeys() {
  const std::string clsidKey = std::string("CLSID\\") + kThingClsid;
  ASSERT_EQ(SetString(HKEY_CLASSES_ROOT, clsidKey.c_str(), nullptr, "Test Server Thing"), 0);
  ASSERT_EQ(SetString(HKEY_CLASSES_ROOT, (clsidKey + "\\InprocServer32").c_str(), nullptr,
                      "/opt/vorn/lib/vorn_test_server.so"),
            0);
  ASSERT_EQ(SetString(HKEY_CLASSES_ROOT, (clsidKey + "\\InprocServer32").c_str(),
                      "ThreadingModel", "Apartment"),
            0);
  ASSERT_EQ(SetString(HKEY_CLASSES_ROOT, (clsidKey + "\\ProgID").c_str(), "",
                      "Vorn.TestThing.1"),
            0);
  ASSERT_EQ(SetString(HKEY_CLASSES_ROOT, "Vorn.TestThing.1", nullptr, "Test Server Thing"), 0);
  ASSERT_EQ(SetString(HKEY_CLASSES_ROOT, "Vorn.TestThing.1\\CLSID", nullptr, kThingClsid), 0);
  ASSERT_EQ(SetString(HKEY_CURRENT_USER, "Software\\Vorn\\Settings", "Search", "$HOME/bin",
                      REG_EXPAND_SZ),
            0);
  ASSERT_EQ(SetDword(HKEY_CURRENT_USER, "Software\\Vorn\\Settings", "Count", 42), 0);
  ASSERT_EQ(SetString(HKEY_CURRENT_USER, "Software\\Vorn\\Settings", "Empty", ""), 0);
  ASSERT_EQ(SetString(HKEY_CURRENT_USER, "Software\\Vorn\\AddressBook", "Path",
                      "/home/user/contacts"),
            0);
  ASSERT_EQ(SetString(HKEY_LOCAL_MACHINE, "Software\\Vorn\\Store", nullptr,
                      "/opt/vorn/lib/vornstore.so"),
            0);
  HKEY empty = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vorn\\Empty", 0, nullptr, 0,
                            KEY_WRITE, nullptr, &empty, nullptr),
            0);
  RegCloseKey(empty);
}

// Names and data that need escaping, case kept as first written, and bytes
// that are not UTF-8.
void WriteEscapesKeys() {
  const char* key = "Software\\Mixed Case [x]\\\xC3\x9C" "bung";
  ASSERT_EQ(SetString(HKEY_CURRENT_USER, key, nullptr, "first"), 0);
  ASSERT_EQ(SetString(HKEY_CURRENT_USER, key, "Back\\slash", "C:\\dir\\file"), 0);
  ASSERT_EQ(SetString(HKEY_CURRENT_USER, key, "Quote\"d", "say \"hi\""), 0);
  ASSERT_EQ(SetString(HKEY_CURRENT_USER, key, "Controls", "a\tb\nc\rd\x7f" "e"), 0);
  ASSERT_EQ(SetString(HKEY_CURRENT_USER, key, "Unicode", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC"),
            0);
  ASSERT_EQ(SetString(HKEY_CURRENT_USER, key, "Not UTF-8",
                      "\xFF \xC3( \x80 \xED\xA0\x80 \xF0\x9F\x98"),
            0);
  ASSERT_EQ(SetString(HKEY_CURRENT_USER, key, "tab\there", "x"), 0);
  ASSERT_EQ(SetString(HKEY_CURRENT_USER, key, "SEMI;COLON", ";=[]@"), 0);
  ASSERT_EQ(SetString(HKEY_CURRENT_USER, key, "semi;colon", "second write, first name"), 0);
  ASSERT_EQ(SetDword(HKEY_CURRENT_USER, "Software\\Mixed Case [x]", "Max", 0xFFFFFFFFu), 0);
  ASSERT_EQ(SetDword(HKEY_CURRENT_USER, "software\\MIXED CASE [X]", "Zero", 0), 0);
  ASSERT_EQ(SetString(HKEY_CURRENT_USER, nullptr, "At the root", "yes"), 0);
}

TEST(RegistryGolden, WriterOutputMatchesByteForByte) {
  struct Case {
    const char* file;
    void (*write)();
  } cases[] = {
      {"empty.reg", nullptr},
      {"classes.reg", WriteClassesKeys},
      {"escapes.reg", WriteEscapesKeys},
  };
  for (const Case& c : cases) {
    vorn_test::TempRoot root;
    if (c.write) {
      c.write();
    } else {
      // A change that leaves nothing behind still writes the file.
      ASSERT_EQ(SetString(HKEY_CURRENT_USER, "Gone", "v", "1"), 0);
      ASSERT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, "Gone"), 0);
    }
    EXPECT_EQ(RegistryFile(root), Golden(c.file)) << c.file;
  }
}

TEST(RegistryGolden, ReadingGoldenFilesGivesTheValuesBack) {
  vorn_test::TempRoot root;
  vorn_test::WriteFileBytes(root.path() + "/registry.reg", Golden("classes.reg"));
  EXPECT_EQ(GetString(HKEY_CLASSES_ROOT, "vorn.testthing.1\\clsid", nullptr), kThingClsid);
  EXPECT_EQ(GetString(HKEY_CLASSES_ROOT,
                      "CLSID\\{3e3a653f-8353-4a69-927c-ce38930d59d4}\\InprocServer32",
                      "threadingmodel"),
            "Apartment");
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, "Software\\Vorn\\Settings", "Search"), "$HOME/bin");
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, "Software\\Vorn\\Settings", "Empty"), "");
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, "Software\\Vorn\\Settings", "Count"), "<type 4>");
  EXPECT_EQ(vorn_test::SubkeyNames(HKEY_LOCAL_MACHINE, "Software\\Vorn"),
            (std::vector<std::string>{"Empty", "Store"}));

  vorn_test::WriteFileBytes(root.path() + "/registry.reg", Golden("escapes.reg"));
  const char* key = "SOFTWARE\\mixed case [X]\\\xC3\x9C" "BUNG";
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, key, "back\\SLASH"), "C:\\dir\\file");
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, key, "quote\"D"), "say \"hi\"");
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, key, "Controls"), "a\tb\nc\rd\x7f" "e");
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, key, "Not UTF-8"),
            "\xFF \xC3( \x80 \xED\xA0\x80 \xF0\x9F\x98");
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, key, "SEMI;COLON"), "second write, first name");
  EXPECT_EQ(GetString(HKEY_CURRENT_USER, nullptr, "at the ROOT"), "yes");
}

TEST(RegistryFormat, GoldenFilesAreCanonical) {
  for (const char* file : {"empty.reg", "classes.reg", "escapes.reg"}) {
    RegistryTree tree;
    ParseError error;
    const std::string text = Golden(file);
    ASSERT_TRUE(ParseRegistryText(text, &tree, &error)) << file << ":" << error.line;
    EXPECT_EQ(FormatRegistryText(tree), text) << file;
  }
}

TEST(RegistryFormat, ToleratedLayoutReadsAsTheCanonicalOne) {
  const std::string canonical = Golden("classes.reg");
  // The same content: comments, blank lines, CRLF, indentation, sections out
  // of order and repeated, parents left implicit, root and prefix case.
  const std::string loose =
      "Vorn Registry Version 1\r\n"
      "; settings first\r\n"
      "[hkey_current_user\\Software\\Vorn\\Settings]\r\n"
      "  \"Search\"=EXPAND:\"$HOME/bin\"  \r\n"
      "\"Count\"=dword:2A\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Vorn\\Store]\n"
      "@=\"/opt/vorn/lib/vornstore.so\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Vorn\\Empty]\n"
      "[HKEY_CLASSES_ROOT\\Vorn.TestThing.1\\CLSID]\n"
      "@=\"{3E3A653F-8353-4A69-927C-CE38930D59D4}\"\n"
      "[HKEY_CLASSES_ROOT\\Vorn.TestThing.1]\n"
      "@=\"Test Server Thing\"\n"
      "\t[HKEY_CLASSES_ROOT\\CLSID\\{3E3A653F-8353-4A69-927C-CE38930D59D4}\\InprocServer32]\n"
      "\"ThreadingModel\"=\"Apartment\"\n"
      "@=\"/opt/vorn/lib/vorn_test_server.so\"\n"
      "[HKEY_CLASSES_ROOT\\CLSID\\{3E3A653F-8353-4A69-927C-CE38930D59D4}]\n"
      "@=\"wrong, replaced below\"\n"
      "[HKEY_CLASSES_ROOT\\CLSID\\{3E3A653F-8353-4A69-927C-CE38930D59D4}\\ProgID]\n"
      "@=\"Vorn.TestThing.1\"\n"
      "[HKEY_CLASSES_ROOT\\clsid\\{3e3a653f-8353-4a69-927c-ce38930d59d4}]\n"
      "@=\"Test Server Thing\"\n"
      "[HKEY_CURRENT_USER\\Software\\Vorn\\Settings]\n"
      "\"Empty\"=\"\"\n"
      "[HKEY_CURRENT_USER\\Software\\Vorn\\AddressBook]\n"
      "\"Path\"=\"/home/user/contacts\"";  // no final newline
  RegistryTree tree;
  ParseError error;
  ASSERT_TRUE(ParseRegistryText(loose, &tree, &error)) << error.line << ": " << error.message;
  EXPECT_EQ(FormatRegistryText(tree), canonical);
}

TEST(RegistryFormat, FaultsAreReportedWithTheirLine) {
  const std::string head = "Vorn Registry Version 1\n[HKEY_CURRENT_USER\\A]\n";
  struct Case {
    std::string text;
    size_t line;
  } cases[] = {
      {"", 1},
      {"\n" + head, 1},
      {"Vorn Registry Version 2\n", 1},
      {"Vorn Registry Version 1\n\"a\"=\"b\"\n", 2},  // value before a section
      {head + "[HKEY_USERS\\A]\n", 3},
      {head + "[HKEY_CURRENT_USER\\A\n", 3},
      {head + "[HKEY_CURRENT_USER\\A\\\\B]\n", 3},
      {head + "[HKEY_CURRENT_USER\\]\n", 3},
      {head + "[HKEY_CURRENT_USER\\A\\B\\]\n", 3},
      {head + "[HKEY_CURRENT_USER\\A\x01" "B]\n", 3},
      {head + "[HKEY_CURRENT_USER\\" + std::string(256, 'k') + "]\n", 3},
      {head + "\"a\"=\"unterminated\n", 3},
      {head + "\"a\"=\"bad \\q escape\"\n", 3},
      {head + "\"a\"=\"bad \\x4\"\n", 3},
      {head + "\"a\"=\"zero \\x00 byte\"\n", 3},
      {head + "\"a\"=\"raw\ttab\"\n", 3},
      {head + "\"a\"=dword:\n", 3},
      {head + "\"a\"=dword:123456789\n", 3},
      {head + "\"a\"=dword:12 junk\n", 3},
      {head + "\"a\"=hex:01,02\n", 3},
      {head + "\"a\"=\"b\"\"c\"\n", 3},
      {head + "\"\"=\"use @ instead\"\n", 3},
      {head + "\"a\" = \"b\"\n", 3},
      {head + "@\n", 3},
      {head + "junk\n", 3},
      {head + "\n\n; fine\n\"ok\"=\"1\"\n[HKEY_CURRENT_USER\\B]\n@=\"x\n", 8},
  };
  for (const Case& c : cases) {
    RegistryTree tree;
    ParseError error;
    EXPECT_FALSE(ParseRegistryText(c.text, &tree, &error)) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_FALSE(error.message.empty()) << c.text;
    EXPECT_TRUE(tree.Equals(RegistryTree())) << "a refused file yields no keys: " << c.text;
  }
}

}  // namespace
