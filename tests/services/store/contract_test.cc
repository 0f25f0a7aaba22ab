// The store contract suite, run against the store server library, so that
// the fake store never promises callers more, or less, than the server does.

#include <gtest/gtest.h>

#include <memory>

#include "platform/runtime.h"
#include "tests/fakes/contract/store_contract.h"
#include "tests/services/store/store_fixture.h"

namespace store_test {
namespace {

// A fresh root per test, with the server reached through its library and
// the MIME library, which it needs to store messages, registered there.
class ServerStoreHarness : public vorn_contract::StoreHarness {
 public:
  ServerStoreHarness() : initialised_(SUCCEEDED(CoInitialize(nullptr))) {
    EXPECT_EQ(S_OK, RegisterLibrary(MimeLibraryPath()));
  }
  ~ServerStoreHarness() override {
    if (initialised_) CoUninitialize();
  }
  HRESULT CreateNamespace(IStoreNamespace** ns) override {
    ComPtr<IStoreNamespace> store;
    HRESULT hr = CreateStoreNamespace(&store);
    *ns = store.Detach();
    return hr;
  }

 private:
  vorn_test::TempRoot root_;
  bool initialised_;
};

}  // namespace
}  // namespace store_test

using vorn_contract::StoreContract;

INSTANTIATE_TEST_SUITE_P(Server, StoreContract,
                         testing::Values(vorn_contract::StoreContractParam{
                             "vornstore",
                             [] { return std::make_unique<store_test::ServerStoreHarness>(); }}),
                         vorn_contract::StoreParamName);
