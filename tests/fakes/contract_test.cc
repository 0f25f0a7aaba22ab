// The three contract suites run against the fakes, so that a fake never
// promises callers more, or less, than the real services do. Each harness
// also checks, when it ends, that the suite itself gave back everything the
// fake handed out.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "tests/fakes/contract/mime_contract.h"
#include "tests/fakes/contract/store_contract.h"
#include "tests/fakes/contract/wab_contract.h"
#include "tests/fakes/fake_address_book.h"
#include "tests/fakes/fake_mime.h"
#include "tests/fakes/fake_store.h"

namespace vorn_fakes {

using testing::IsEmpty;

// Checks, at the end of a test, what every fake harness checks.
void ExpectAllGivenBack(const FakeEnv& env) {
  EXPECT_THAT(env.log.Errors(), IsEmpty());
  EXPECT_THAT(env.log.LiveObjects(), IsEmpty());
}

class FakeStoreHarness : public vorn_contract::StoreHarness {
 public:
  FakeStoreHarness() { store_.AddStandardFolders(); }
  ~FakeStoreHarness() override {
    ExpectAllGivenBack(env_);
    EXPECT_EQ(store_.OutstandingStrings(), 0);
    EXPECT_EQ(store_.OpenEnumerations(), 0);
  }
  HRESULT CreateNamespace(IStoreNamespace** ns) override {
    return store_.CreateNamespace(IID_IStoreNamespace, reinterpret_cast<void**>(ns));
  }

 private:
  FakeEnv env_;
  FakeMimeModel mime_{env_};
  FakeStore store_{env_, &mime_};
};

class FakeMimeHarness : public vorn_contract::MimeHarness {
 public:
  ~FakeMimeHarness() override {
    ExpectAllGivenBack(env_);
    EXPECT_EQ(mime_.AllocatorOutstanding(), 0);
  }

  // Builds the message a parser would make of ComposeRawMessage(scenario).
  HRESULT OpenMessage(const vorn_contract::MimeScenario& scenario,
                      IMimeMessage** message) override {
    auto described = mime_.AddMessage();
    std::string textType = scenario.textType;
    std::transform(textType.begin(), textType.end(), textType.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    FakeBody& root = described->AddBody();
    root.headers["Subject"] = scenario.subject;
    root.headers["From"] = "Ann <ann@example.org>";
    root.headers["To"] = "Bob <bob@example.org>";
    if (scenario.attachments.empty()) {
      root.contentType = textType;
      root.SetText(Utf16FromUtf8(scenario.text));
    } else {
      root.contentType = "multipart/mixed";
      HBODY rootHandle = root.handle;
      FakeBody& text = described->AddBody(rootHandle);
      text.contentType = textType;
      text.SetText(Utf16FromUtf8(scenario.text));
      for (const vorn_contract::MimeAttachment& a : scenario.attachments) {
        FakeBody& body = described->AddBody(rootHandle);
        body.contentType = "application/octet-stream";
        body.isAttachment = S_OK;
        body.displayName = a.fileName;
        body.data = a.content;
      }
    }
    return mime_.OpenMessage(described, IID_IMimeMessage, reinterpret_cast<void**>(message));
  }

  HRESULT CreateAllocator(IMimeAllocator** allocator) override {
    return mime_.CreateAllocator(IID_IMimeAllocator, reinterpret_cast<void**>(allocator));
  }

 private:
  FakeEnv env_;
  FakeMimeModel mime_{env_};
};

class FakeWabHarness : public vorn_contract::WabHarness {
 public:
  ~FakeWabHarness() override {
    ExpectAllGivenBack(env_);
    EXPECT_EQ(book_.BuffersFreed(), book_.BuffersHandedOut());
  }

  // Through the fake library's WABOpen export.
  HRESULT Open(const std::vector<vorn_contract::ContactSpec>& contacts, LPADRBOOK* addrBook,
               LPWABOBJECT* wabObject) override {
    for (const vorn_contract::ContactSpec& c : contacts) {
      book_.AddContact(c.displayName.c_str(), c.nickname.empty() ? nullptr : c.nickname.c_str(),
                       c.email.c_str());
    }
    LPWABOPEN open = library_.wabOpen();
    if (!open) return E_UNEXPECTED;
    return open(addrBook, wabObject, nullptr, 0);
  }

 private:
  FakeEnv env_;
  FakeAddressBook book_{env_};
  FakeWabLibrary library_{&book_};
};

}  // namespace vorn_fakes

using vorn_contract::MimeContract;
using vorn_contract::StoreContract;
using vorn_contract::WabContract;

INSTANTIATE_TEST_SUITE_P(Fake, StoreContract,
                         testing::Values(vorn_contract::StoreContractParam{
                             "FakeStore",
                             [] { return std::make_unique<vorn_fakes::FakeStoreHarness>(); }}),
                         vorn_contract::StoreParamName);

INSTANTIATE_TEST_SUITE_P(Fake, MimeContract,
                         testing::Values(vorn_contract::MimeContractParam{
                             "FakeMime",
                             [] { return std::make_unique<vorn_fakes::FakeMimeHarness>(); }}),
                         vorn_contract::MimeParamName);

INSTANTIATE_TEST_SUITE_P(Fake, WabContract,
                         testing::Values(vorn_contract::WabContractParam{
                             "FakeWab",
                             [] { return std::make_unique<vorn_fakes::FakeWabHarness>(); }}),
                         vorn_contract::WabParamName);
