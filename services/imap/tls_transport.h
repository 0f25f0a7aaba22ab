// The connection to the account's server, made by us and handed to libetpan
// as a stream: a TCP connection with a time limit on every step, and for
// Security "tls" or "starttls" a GnuTLS session that verifies the server's
// whole certificate chain (against the system's authorities, or the
// account's CAFile when it names one) and the server's name before a byte
// of the login is sent. libetpan never sees the socket; it reads and writes
// through the stream driver of tls_transport.cc.
#pragma once

#include <ctime>

#include "platform/types.h"
#include "services/imap/account.h"

struct mailimap;

namespace vorn_imap {

// The server's certificate was refused. The failure reason says why: not
// signed by a trusted authority, issued for another name, expired or not
// yet valid, or revoked or otherwise unusable.
constexpr HRESULT IMAP_E_CERTIFICATE = MakeHresult(0x800B0109u);  // untrusted root
constexpr HRESULT IMAP_E_CERT_EXPIRED = MakeHresult(0x800B0101u);
constexpr HRESULT IMAP_E_CERT_NAME = MakeHresult(0x800B010Fu);  // name mismatch

// Connects `imap` (new, without a stream) to the account's server as its
// Security value says, and reads the greeting; for "starttls" it also runs
// STARTTLS and the handshake. *greeting receives libetpan's result for the
// greeting (MAILIMAP_NO_ERROR_NON_AUTHENTICATED or _AUTHENTICATED). Every
// network step waits at most `timeoutSeconds`, and so does every later read
// or write of the stream.
//
// Failures set the thread's failure reason, which names the server and
// never holds the password:
//   IMAP_E_UNREACHABLE   no connection, no greeting, the connection lost
//                        during the handshake, or a handshake that failed
//                        for another reason than the certificate
//   IMAP_E_CERTIFICATE   the chain does not end at a trusted authority, or
//                        the certificate is revoked or unusable
//   IMAP_E_CERT_EXPIRED  a certificate of the chain expired or is not yet
//                        valid
//   IMAP_E_CERT_NAME     the certificate is for another name than Server
//   STG_E_FILENOTFOUND   CAFile cannot be read or holds no certificate
//   E_ACCESSDENIED       "starttls" to a server that does not offer it, or
//                        that greets with PREAUTH (no TLS could follow)
//   E_OUTOFMEMORY
// On failure `imap` has no stream and may be freed.
HRESULT ConnectImap(mailimap* imap, const Account& account, time_t timeoutSeconds,
                    int* greeting);

}  // namespace vorn_imap
