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
// the MIME message class it needs to store messages.
class ServerStoreHarness : public vorn_contract::StoreHarness {
 public:
  ServerStoreHarness() : initialised_(SUCCEEDED(CoInitialize(nullptr))) {
    mime_ = std::make_unique<SimpleMimeRegistration>();
  }
  ~ServerStoreHarness() override {
    mime_.reset();
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
  std::unique_ptr<SimpleMimeRegistration> mime_;
};

}  // namespace
}  // namespace store_test

using vorn_contract::StoreContract;

INSTANTIATE_TEST_SUITE_P(Server, StoreContract,
                         testing::Values(vorn_contract::StoreContractParam{
                             "vornstore",
                             [] { return std::make_unique<store_test::ServerStoreHarness>(); }}),
                         vorn_contract::StoreParamName);
