// The store contract suite against the IMAP store server and a Dovecot of
// this program's own: with every extension the server offers, or (built
// with VORN_IMAP_PLAIN) with UIDPLUS, MOVE and CONDSTORE hidden, so that
// the paths without them run.

#include <gtest/gtest.h>

#include <memory>

#include "platform/runtime.h"
#include "tests/fakes/contract/store_contract.h"
#include "tests/services/imap/imap_fixture.h"

namespace imap_test {
namespace {

class ImapStoreHarness : public vorn_contract::StoreHarness {
 public:
  ImapStoreHarness() : initialised_(SUCCEEDED(CoInitialize(nullptr))) {
    vorn_test::DovecotServer& server = Server();
    EXPECT_TRUE(server.ok()) << server.error();
    EXPECT_EQ(S_OK, RegisterLibrary(MimeLibraryPath()));
    server.WriteAccount(server.NewUser());
  }
  ~ImapStoreHarness() override {
    if (initialised_) CoUninitialize();
  }
  HRESULT CreateNamespace(IStoreNamespace** ns) override {
    ComPtr<IStoreNamespace> store;
    HRESULT hr = CreateImapNamespace(&store);
    *ns = store.Detach();
    return hr;
  }

 private:
  vorn_test::TempRoot root_;
  bool initialised_;
};

}  // namespace
}  // namespace imap_test

using vorn_contract::StoreContract;

INSTANTIATE_TEST_SUITE_P(Imap, StoreContract,
                         testing::Values(vorn_contract::StoreContractParam{
                             imap_test::kVariant,
                             [] { return std::make_unique<imap_test::ImapStoreHarness>(); }}),
                         vorn_contract::StoreParamName);
