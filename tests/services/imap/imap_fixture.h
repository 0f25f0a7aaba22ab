// What the IMAP store server's tests share: the program's Dovecot, the
// server library reached through its class object, the MIME library, and a
// fixture that gives each test a fresh root and a fresh account.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/store.h"
#include "runtime/com_ptr.h"
#include "services/imap/imap_cache.h"
#include "services/imap/imap_client.h"
#include "tests/support/libraries.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/temp_root.h"

namespace imap_test {

// "vornimap", or "vornimapPlain" for the program whose server hides UIDPLUS,
// MOVE and CONDSTORE.
extern const char* const kVariant;

// The program's server, in the program's variant.
vorn_test::DovecotServer& Server();

// A new namespace of vornimap.so (not initialised). Caller owns.
HRESULT CreateImapNamespace(ComPtr<IStoreNamespace>* store);
std::string MimeLibraryPath();
using vorn_test::RegisterLibrary;

// The calling thread's failure reason.
std::string Reason();

// A fresh root per test with the MIME library registered, and a fresh user
// of the program's server written to it as the account.
class ImapFixture : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A new namespace, initialised with the status `expected`.
  ComPtr<IStoreNamespace> Open(HRESULT expected = S_OK);
  // Sets a value of the account's key, as text.
  static void SetValue(const char* name, const std::string& value);
  // Another client of the account, straight to the server.
  std::unique_ptr<vorn_imap::ImapClient> OtherClient();
  // The messages of `mailbox` on the server: (uid, seen).
  std::vector<std::pair<uint32_t, bool>> OnServer(const std::string& mailbox);
  // Creates a folder under the root and opens it; null (with a failure
  // recorded) when either fails. *id (may be null) gets its identifier.
  static ComPtr<IStoreFolder> MakeFolder(IStoreNamespace* ns, const std::string& name,
                                         STOREFOLDERID* id = nullptr);
  // The subject of each message of `mailbox` on the server, in UID order.
  std::vector<std::string> SubjectsOnServer(const std::string& mailbox);
  // Opens the account's cache as the store finds it, beside the store's own
  // connection to it.
  std::unique_ptr<vorn_imap::ImapCache> OpenCache();
  // The folder's listing: (identifier, flags). *hr (may be null) gets the
  // status of the listing, S_OK for an empty folder too.
  static std::vector<std::pair<MESSAGEID, DWORD>> Messages(IStoreFolder* folder,
                                                           HRESULT* hr = nullptr);
  // Stores a small message with `subject` through CreateStream and
  // CommitStream; *id gets its identifier.
  static HRESULT Add(IStoreFolder* folder, const std::string& subject, MESSAGEID* id);
  // The same, expecting success.
  static MESSAGEID Add(IStoreFolder* folder, const std::string& subject);

  vorn_test::TempRoot root_;
  bool initialised_ = false;
  std::string user_;
};

}  // namespace imap_test
