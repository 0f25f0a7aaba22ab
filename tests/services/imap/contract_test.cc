// The store contract suite against the IMAP store server and a Dovecot of
// this program's own: with every extension the server offers, or (built
// with VORN_IMAP_PLAIN) with UIDPLUS, MOVE and CONDSTORE hidden, so that
// the paths without them run.

#include <gtest/gtest.h>

#include <memory>

#include "tests/fakes/contract/store_contract.h"
#include "tests/services/imap/imap_fixture.h"

using vorn_contract::StoreContract;

INSTANTIATE_TEST_SUITE_P(
    Imap, StoreContract,
    testing::Values(vorn_contract::StoreContractParam{
        imap_test::kVariant,
        [] {
          // Each test on an account of its own.
          return std::make_unique<vorn_contract::LibraryStoreHarness>(
              &imap_test::CreateImapNamespace, [] {
                vorn_test::DovecotServer& server = imap_test::Server();
                EXPECT_TRUE(server.ok()) << server.error();
                EXPECT_EQ(S_OK, imap_test::RegisterLibrary(imap_test::MimeLibraryPath()));
                server.WriteAccount(server.NewUser());
              });
        }}),
    vorn_contract::StoreParamName);
