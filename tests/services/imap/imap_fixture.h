// What the IMAP store server's tests share: the program's Dovecot, the
// server library reached through its class object, and the MIME library.
#pragma once

#include <string>

#include "platform/store.h"
#include "runtime/com_ptr.h"
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
// Loads a built library and runs its DllRegisterServer in the current root.
HRESULT RegisterLibrary(const std::string& path);

}  // namespace imap_test
