// The IMAP account the store serves: read from the registry key
// HKEY_CURRENT_USER\Software\Vorn\Imap, with the password from the file the
// key names. No text built here ever holds the password.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

namespace vorn_imap {

constexpr const char* kAccountKey = "Software\\Vorn\\Imap";

struct Account {
  std::string server;
  uint16_t port = 143;
  std::string user;
  std::string security;  // "none", "tls" (IMAPS) or "starttls"
  std::string caFile;    // PEM authorities to verify the server by; "": the system's
  std::string password;  // never logged or shown
  // How long one exchange with the server may wait for it before the call
  // fails (seconds).
  unsigned timeoutSeconds = 30;
};

// Reads and checks the account. Values: Server, User, PasswordFile (REG_SZ),
// Port (REG_DWORD or a decimal REG_SZ; default 143, or 993 with "tls"),
// Timeout (seconds, 1 to 3600, the same two types; default 30), Security
// ("none", "tls" or "starttls"; default "none") and CAFile (REG_SZ,
// optional). Refused, with the reason set as the thread's failure reason:
//   REGDB_E_KEYMISSING  no account key, or Server, User or PasswordFile missing
//   E_INVALIDARG        a bad port, timeout or security, or "none" for a
//                       server that is not a loopback address
//   E_ACCESSDENIED      a password file that others than its owner may read,
//                       or that is not a regular file
//   STG_E_FILENOTFOUND  a password file that cannot be read
HRESULT ReadAccount(Account* account);

// Reads the password: the file's first line, without its line end. The
// checks and results of ReadAccount for the password file.
HRESULT ReadPasswordFile(const std::string& path, std::string* password);

// True when every address `server` resolves to is a loopback address.
bool IsLoopbackServer(const std::string& server);

// A name for the account's cache file: the server, port and user with every
// byte outside [A-Za-z0-9.@-] written as _XX.
std::string AccountCacheName(const Account& account);

}  // namespace vorn_imap
