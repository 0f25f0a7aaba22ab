// CMailStore's contact catalogue over vornwab.so, registered in the platform
// root the way setup registers it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/loader.h"
#include "tests/store/mail_world.h"

namespace {

namespace fs = std::filesystem;

struct Listed {
  std::string displayName, nickname, email;
  bool operator==(const Listed&) const = default;
};

std::vector<Listed> Contacts(const CMailStore& mail) {
  std::vector<Listed> contacts;
  for (int i = 0; i < mail.GetContactCount(); ++i) {
    contacts.push_back(
        {mail.GetContactDisplayName(i), mail.GetContactNickname(i), mail.GetContactEmail(i)});
  }
  return contacts;
}

class LoadContactsTest : public testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryA((vorn_test::BinDir() + "/vornwab.so").c_str());
    ASSERT_NE(module_, nullptr);
    auto registerServer =
        reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(module_, "DllRegisterServer"));
    ASSERT_EQ(registerServer(), S_OK);
    contacts_ = fs::path(world_.root.path()) / "contacts";
    fs::create_directories(contacts_);
  }
  void TearDown() override {
    world_.EndAndCheck();
    FreeLibrary(module_);
  }

  void Write(const std::string& name, const std::string& text) {
    std::ofstream(contacts_ / name, std::ios::binary) << text;
  }

  vorn_test::MailWorld world_;
  HMODULE module_ = nullptr;
  fs::path contacts_;
};

TEST_F(LoadContactsTest, TheContactsOfTheVCardFilesAreListedInOrder) {
  Write("b.vcf",
        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Bob Baker\r\nEMAIL;TYPE=INTERNET:bob@example.org\r\n"
        "END:VCARD\r\n"
        "BEGIN:VCARD\r\nVERSION:4.0\r\nN:Cole;Cara;;Dr.;\r\nNICKNAME:CC\r\n"
        "EMAIL;PREF=1:cara@example.org\r\nEND:VCARD\r\n");
  Write("a.vcf",
        "BEGIN:VCARD\r\nVERSION:2.1\r\n"
        "FN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:Fran=E7oise Ma=\r\nrtin\r\n"
        "NICKNAME:Fran\r\nEMAIL;INTERNET;PREF:francoise@example.org\r\nEND:VCARD\r\n");
  CMailStore& mail = *world_.mail;
  ASSERT_EQ(mail.OpenSession(), 1);
  ASSERT_EQ(mail.LoadContacts(), 1);
  const std::vector<Listed> expected = {
      {"Fran\xC3\xA7oise Martin", "Fran", "francoise@example.org"},
      {"Bob Baker", "", "bob@example.org"},
      {"Dr. Cara Cole", "CC", "cara@example.org"},
  };
  EXPECT_EQ(Contacts(mail), expected);
  EXPECT_EQ(mail.GetContactEmail(-1), "");
  EXPECT_EQ(mail.GetContactDisplayName(mail.GetContactCount()), "");

  // The files are read anew: deleting them empties the list on the next load.
  fs::remove(contacts_ / "a.vcf");
  fs::remove(contacts_ / "b.vcf");
  EXPECT_EQ(mail.LoadContacts(), 0);
  EXPECT_EQ(mail.GetContactCount(), 0);
}

TEST_F(LoadContactsTest, AnEmptyFolderGivesNoContacts) {
  CMailStore& mail = *world_.mail;
  ASSERT_EQ(mail.OpenSession(), 1);
  EXPECT_EQ(mail.LoadContacts(), 0);
  EXPECT_EQ(mail.GetContactCount(), 0);
  EXPECT_EQ(mail.GetContactNickname(0), "");
}

}  // namespace
