#include "services/addressbook/contact_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/failure_reason.h"
#include "tests/support/temp_root.h"

namespace vorn_wab {
namespace {

namespace fs = std::filesystem;

std::string Card(const std::string& fn) {
  return "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" + fn + "\r\nEND:VCARD\r\n";
}

// While it lives, the calling thread is bound by file permissions even when
// it runs as the superuser: the capabilities that override them are taken out
// of its effective set, and put back (they stay permitted) at the end.
class PermissionsBind {
 public:
  PermissionsBind() {
    if (geteuid() != 0) {
      binding_ = true;
      return;
    }
    if (syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
    lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    binding_ = syscall(SYS_capset, &header_, lowered) == 0;
    restore_ = binding_;
  }
  ~PermissionsBind() {
    if (restore_) syscall(SYS_capset, &header_, saved_);
  }
  bool binding() const { return binding_; }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
  bool binding_ = false;
  bool restore_ = false;
};

class ContactFilesTest : public testing::Test {
 protected:
  void SetUp() override { dir_ = vorn_test::MakeTempDir("vorn-contacts"); }
  void TearDown() override { vorn_test::RemoveTree(dir_); }

  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  std::vector<std::string> Names(const std::string& path, HRESULT expected = S_OK) {
    VCardReader reader;
    std::vector<Contact> contacts;
    EXPECT_EQ(ReadContactFiles(path, &reader, &contacts), expected) << path;
    std::vector<std::string> names;
    for (const Contact& c : contacts) names.push_back(c.displayName);
    return names;
  }

  std::string dir_;
};

TEST_F(ContactFilesTest, AFolderGivesItsVcfFilesInNameOrder) {
  Write("b.vcf", Card("b1") + Card("b2"));
  Write("a.vcf", Card("a"));
  Write("C.VCF", Card("C"));
  Write("notes.txt", Card("not a vcf"));
  Write("novcf", Card("no extension"));
  Write("empty.vcf", "");
  fs::create_directory(dir_ + "/sub.vcf");
  Write("sub.vcf/inner.vcf", Card("not read: one level only"));
  ASSERT_EQ(mkfifo((dir_ + "/pipe.vcf").c_str(), 0600), 0);  // would block a plain open
  fs::create_symlink(dir_ + "/missing", dir_ + "/dangling.vcf");
  const std::string outside = vorn_test::MakeTempDir("vorn-outside");
  std::ofstream(outside + "/x.vcf") << Card("linked");
  fs::create_symlink(outside + "/x.vcf", dir_ + "/link.vcf");

  const std::vector<std::string> expected = {"C", "a", "b1", "b2", "linked"};
  EXPECT_EQ(Names(dir_), expected);
  EXPECT_EQ(Names(dir_ + "/"), expected);
  vorn_test::RemoveTree(outside);
}

TEST_F(ContactFilesTest, AFileIsReadWhateverItsName) {
  const std::string path = Write("export.txt", Card("one") + Card("two"));
  EXPECT_EQ(Names(path), (std::vector<std::string>{"one", "two"}));
}

TEST_F(ContactFilesTest, NothingThereGivesNoContacts) {
  const std::string file = Write("file.vcf", Card("x"));
  EXPECT_TRUE(Names(dir_ + "/missing").empty());
  EXPECT_TRUE(Names(file + "/below-a-file").empty());
  EXPECT_TRUE(Names(dir_ + "/sub-missing/").empty());
  ASSERT_EQ(mkfifo((dir_ + "/pipe").c_str(), 0600), 0);
  EXPECT_TRUE(Names(dir_ + "/pipe").empty());
}

TEST_F(ContactFilesTest, APathThatCannotBeResolvedIsAnError) {
  // Unlike a missing path (no contacts), this must not pass for an empty
  // address book: the caller keeps what it listed before.
  fs::create_symlink(dir_ + "/loop", dir_ + "/loop");
  EXPECT_TRUE(Names(dir_ + "/loop", STG_E_READFAULT).empty());
}

TEST_F(ContactFilesTest, AFolderThatCannotBeListedIsAnErrorAnUnreadableFileIsSkipped) {
  PermissionsBind bind;
  if (!bind.binding()) GTEST_SKIP() << "permissions cannot be made to bind the superuser here";
  Write("a.vcf", Card("a"));
  const std::string locked = Write("b.vcf", Card("b"));
  chmod(locked.c_str(), 0);
  EXPECT_EQ(Names(dir_), std::vector<std::string>{"a"});
  chmod(dir_.c_str(), 0);
  EXPECT_TRUE(Names(dir_, E_ACCESSDENIED).empty());
  char reason[VORN_MAX_FAILURE_REASON + 1] = {};
  VornGetFailureReason(reason, sizeof reason);
  EXPECT_EQ("the contacts folder " + dir_ + " cannot be read: Permission denied", reason);
  chmod(dir_.c_str(), 0700);
}

TEST_F(ContactFilesTest, TheSourceReadsAnewOnEveryLoad) {
  auto source = MakeContactFileSource(dir_);
  std::vector<Contact> contacts = {{"stale", "", ""}};
  EXPECT_EQ(source->Load(&contacts), S_OK);
  EXPECT_TRUE(contacts.empty());
  Write("new.vcf", Card("new"));
  EXPECT_EQ(source->Load(&contacts), S_OK);
  ASSERT_EQ(contacts.size(), 1u);
  EXPECT_EQ(contacts[0].displayName, "new");
}

}  // namespace
}  // namespace vorn_wab
