// What the tests of CMailStore share: a world of fakes (store, MIME model)
// registered where CoCreateInstance finds them, the mail store under test,
// and a peer that lets a test look at the mail store's fields.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "store/mailstore.h"
#include "tests/fakes/fake_env.h"
#include "tests/fakes/fake_mime.h"
#include "tests/fakes/fake_store.h"
#include "tests/support/temp_root.h"

struct MailStoreTestPeer {
  static IStoreNamespace* Namespace(const CMailStore& m) { return m.storeNamespace_.Get(); }
  static IStoreFolder* CurrentFolder(const CMailStore& m) { return m.currentFolder_.Get(); }
  static IMimeMessage* CurrentMessage(const CMailStore& m) { return m.currentMessage_.Get(); }
  static IMimeAllocator* Allocator(const CMailStore& m) { return m.mimeAllocator_.Get(); }
  static IMimePropertySet* RootProperties(const CMailStore& m) {
    return m.rootBodyProperties_.Get();
  }
  static HMODULE WabModule(const CMailStore& m) { return m.wabModule_; }
  static LPWABOPEN WabOpen(const CMailStore& m) { return m.wabOpen_; }
  static IAddrBook* AddressBook(const CMailStore& m) { return m.addressBook_.Get(); }
  static IWABObject* WabObject(const CMailStore& m) { return m.wabObject_.Get(); }
  static std::string WabPath(const CMailStore& m) { return m.wabPath_; }
};

namespace vorn_test {

// A fresh platform root (so a fresh registry), the fakes, their class
// registrations and the mail store, which ends first.
struct MailWorld {
  TempRoot root;
  vorn_fakes::FakeEnv env;
  vorn_fakes::FakeMimeModel mime{env};
  vorn_fakes::FakeStore store{env, &mime};
  vorn_fakes::ClassRegistration storeClass = store.Register();
  vorn_fakes::ClassRegistration allocatorClass = mime.RegisterAllocator();
  std::unique_ptr<CMailStore> mail = std::make_unique<CMailStore>();

  // Ends the mail store and checks that it gave back everything it obtained.
  void EndAndCheck() {
    mail.reset();
    EXPECT_THAT(env.log.Errors(), testing::IsEmpty());
    EXPECT_THAT(env.log.LiveObjects("StoreNamespace"), testing::IsEmpty());
    EXPECT_THAT(env.log.LiveObjects("StoreFolder"), testing::IsEmpty());
    EXPECT_THAT(env.log.LiveObjects("MimeMessage"), testing::IsEmpty());
    EXPECT_THAT(env.log.LiveObjects("MimeBody"), testing::IsEmpty());
    EXPECT_THAT(env.log.LiveObjects("MimePropertySet"), testing::IsEmpty());
    EXPECT_THAT(env.log.LiveObjects("MimeAllocator"), testing::IsEmpty());
    EXPECT_EQ(store.OutstandingStrings(), 0);
    EXPECT_EQ(store.OpenEnumerations(), 0);
  }
};

// Folder names of the mail store's folder list, each with its depth as
// "name/depth".
inline std::vector<std::string> FolderTree(const CMailStore& mail) {
  std::vector<std::string> tree;
  for (int i = 0; i < mail.GetFolderCount(); ++i) {
    tree.push_back(mail.GetFolderName(i) + "/" + std::to_string(mail.GetFolderHierarchy(i)));
  }
  return tree;
}

// Subjects of the mail store's message list, in order.
inline std::vector<std::string> Subjects(const CMailStore& mail) {
  std::vector<std::string> subjects;
  for (int i = 0; i < mail.GetMessageCount(); ++i) subjects.push_back(mail.GetMessageSubject(i));
  return subjects;
}

// Captures what is written to file descriptor 1 while it lives.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    saved_ = dup(1);
    file_ = std::tmpfile();
    dup2(fileno(file_), 1);
  }
  ~StdoutCapture() {
    Restore();
    if (file_) std::fclose(file_);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Stops capturing and returns everything written meanwhile.
  std::string Finish() {
    Restore();
    std::string text;
    std::rewind(file_);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
    std::fclose(file_);
    file_ = nullptr;
    return text;
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
  }
  int saved_ = -1;
  std::FILE* file_ = nullptr;
};

}  // namespace vorn_test
