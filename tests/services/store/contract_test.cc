// The store contract suite, run against the store server library, so that
// the fake store never promises callers more, or less, than the server does.

#include <gtest/gtest.h>

#include <memory>

#include "tests/fakes/contract/store_contract.h"
#include "tests/services/store/store_fixture.h"

using vorn_contract::StoreContract;

// A fresh root per test, with the server reached through its library and
// the MIME library, which it needs to store messages, registered there.
INSTANTIATE_TEST_SUITE_P(
    Server, StoreContract,
    testing::Values(vorn_contract::StoreContractParam{
        "vornstore",
        [] {
          return std::make_unique<vorn_contract::LibraryStoreHarness>(
              &store_test::CreateStoreNamespace, [] {
                EXPECT_EQ(S_OK, store_test::RegisterLibrary(store_test::MimeLibraryPath()));
              });
        }}),
    vorn_contract::StoreParamName);
