// The rows that each vCard file of tests/data/vcard gives, against the
// expected rows in the .rows file beside it. With VORN_UPDATE_GOLDEN=1 the
// .rows files are rewritten from what the address book gives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "services/addressbook/address_book.h"
#include "services/addressbook/contact_files.h"
#include "tests/services/addressbook/wab_rows.h"
#include "tests/support/temp_root.h"

namespace vorn_wab {
namespace {

namespace fs = std::filesystem;

fs::path GoldenDir() { return fs::path(vorn_test::SourceDir()) / "tests/data/vcard"; }

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<fs::path> GoldenInputs() {
  std::vector<fs::path> inputs;
  for (const auto& entry : fs::directory_iterator(GoldenDir())) {
    if (entry.path().extension() == ".vcf") inputs.push_back(entry.path());
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

std::string RowsOf(const std::string& path) {
  auto pool = std::make_shared<BufferPool>();
  ComPtr<IAddrBook> book;
  ComPtr<IWABObject> wab;
  EXPECT_EQ(CreateAddressBook(MakeContactFileSource(path), pool, book.Put(), wab.Put()), S_OK);
  const std::string text = vorn_test::AddressBookText(book.Get(), wab.Get());
  EXPECT_EQ(pool->Outstanding(), 0u) << path;
  return text;
}

TEST(VCardGoldenTest, EachFileGivesItsExpectedRows) {
  const std::vector<fs::path> inputs = GoldenInputs();
  ASSERT_GE(inputs.size(), 9u);
  const bool update = std::getenv("VORN_UPDATE_GOLDEN") != nullptr;
  for (const fs::path& input : inputs) {
    fs::path expectedPath = input;
    expectedPath.replace_extension(".rows");
    const std::string actual = RowsOf(input.string());
    if (update) {
      std::ofstream(expectedPath, std::ios::binary) << actual;
      continue;
    }
    ASSERT_TRUE(fs::exists(expectedPath)) << expectedPath;
    EXPECT_EQ(actual, ReadText(expectedPath)) << input.filename();
  }
}

TEST(VCardGoldenTest, TheFolderGivesTheFilesInNameOrder) {
  std::string expected;
  size_t row = 0;
  for (const fs::path& input : GoldenInputs()) {
    std::istringstream rows(RowsOf(input.string()));
    for (std::string line; std::getline(rows, line);) {
      expected += line.rfind("row ", 0) == 0 ? "row " + std::to_string(row++) : line;
      expected += "\n";
    }
  }
  EXPECT_EQ(RowsOf(GoldenDir().string()), expected);
}

}  // namespace
}  // namespace vorn_wab
