#include "services/imap/tls_transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <libetpan/libetpan.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/failure_reason.h"
#include "services/imap/imap_client.h"

namespace vorn_imap {
namespace {

// libetpan's stream buffer.
constexpr size_t kStreamBufferSize = 8192;

int64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The socket and, once the handshake is done, the TLS session over it.
// Every read and write of the stream gets its own deadline, so a server
// that stops answering costs at most the time limit per call.
struct Transport {
  int fd = -1;
  gnutls_session_t tls = nullptr;
  gnutls_certificate_credentials_t credentials = nullptr;
  int64_t timeoutMs = 0;
  int64_t deadline = 0;

  ~Transport() {
    if (tls) gnutls_deinit(tls);
    if (credentials) gnutls_certificate_free_credentials(credentials);
    if (fd >= 0) close(fd);
  }
  void StartCall() { deadline = NowMs() + timeoutMs; }
};

// Waits until `fd` is ready for `events` or the deadline passes.
bool WaitFor(int fd, short events, int64_t deadline) {
  for (;;) {
    int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, static_cast<int>(left > 60000 ? 60000 : left));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

// The socket calls, for our own reads and for GnuTLS's: non-blocking, after
// waiting for the socket within the call's deadline.
ssize_t ReceiveBefore(Transport* t, void* buffer, size_t size) {
  for (;;) {
    ssize_t got = recv(t->fd, buffer, size, MSG_DONTWAIT);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (!WaitFor(t->fd, POLLIN, t->deadline)) {
      errno = ETIMEDOUT;
      return -1;
    }
  }
}

ssize_t SendBefore(Transport* t, const void* buffer, size_t size) {
  for (;;) {
    ssize_t sent = send(t->fd, buffer, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) return sent;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (!WaitFor(t->fd, POLLOUT, t->deadline)) {
      errno = ETIMEDOUT;
      return -1;
    }
  }
}

ssize_t TlsPull(gnutls_transport_ptr_t ptr, void* buffer, size_t size) {
  return ReceiveBefore(static_cast<Transport*>(ptr), buffer, size);
}

ssize_t TlsPush(gnutls_transport_ptr_t ptr, const void* buffer, size_t size) {
  return SendBefore(static_cast<Transport*>(ptr), buffer, size);
}

int TlsPullTimeout(gnutls_transport_ptr_t ptr, unsigned int ms) {
  auto* t = static_cast<Transport*>(ptr);
  int64_t until = t->deadline;
  if (ms != GNUTLS_INDEFINITE_TIMEOUT) {
    int64_t asked = NowMs() + ms;
    if (asked < until) until = asked;
  }
  if (ms == 0) {
    pollfd p{t->fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 ? 1 : 0;
  }
  return WaitFor(t->fd, POLLIN, until) ? 1 : 0;
}

// ---- the stream driver libetpan calls ----------------------------------------

Transport* Of(mailstream_low* low) { return static_cast<Transport*>(low->data); }

ssize_t StreamRead(mailstream_low* low, void* buffer, size_t size) {
  Transport* t = Of(low);
  if (!t || t->fd < 0) return -1;
  t->StartCall();
  if (!t->tls) return ReceiveBefore(t, buffer, size);
  for (;;) {
    ssize_t got = gnutls_record_recv(t->tls, buffer, size);
    if (got >= 0) return got;
    if (got == GNUTLS_E_INTERRUPTED || got == GNUTLS_E_AGAIN) {
      if (NowMs() >= t->deadline) return -1;
      continue;
    }
    // A connection cut without the TLS close is a loss, not an end: what
    // came before it may be truncated.
    return -1;
  }
}

ssize_t StreamWrite(mailstream_low* low, const void* buffer, size_t size) {
  Transport* t = Of(low);
  if (!t || t->fd < 0) return -1;
  t->StartCall();
  if (!t->tls) return SendBefore(t, buffer, size);
  for (;;) {
    ssize_t sent = gnutls_record_send(t->tls, buffer, size);
    if (sent >= 0) return sent;
    if (sent == GNUTLS_E_INTERRUPTED || sent == GNUTLS_E_AGAIN) {
      if (NowMs() >= t->deadline) return -1;
      continue;
    }
    return -1;
  }
}

int StreamClose(mailstream_low* low) {
  Transport* t = Of(low);
  if (!t) return 0;
  if (t->tls && t->fd >= 0) {
    // Tell the server we are done, without waiting for its answer.
    t->deadline = NowMs() + 1000;
    gnutls_bye(t->tls, GNUTLS_SHUT_WR);
  }
  if (t->fd >= 0) close(t->fd);
  t->fd = -1;
  return 0;
}

int StreamFd(mailstream_low* low) {
  Transport* t = Of(low);
  return t ? t->fd : -1;
}

void StreamFree(mailstream_low* low) {
  delete Of(low);
  low->data = nullptr;
  free(low);
}

void StreamCancel(mailstream_low* low) {
  Transport* t = Of(low);
  if (t && t->fd >= 0) shutdown(t->fd, SHUT_RDWR);
}

struct mailstream_cancel* StreamGetCancel(mailstream_low*) { return nullptr; }
carray* StreamCertificates(mailstream_low*) { return nullptr; }
int StreamNoIdle(mailstream_low*) { return -1; }

mailstream_low_driver kDriver = {
    StreamRead,  StreamWrite,        StreamClose,        StreamFd,     StreamFree, StreamCancel,
    StreamGetCancel, StreamCertificates, StreamNoIdle, StreamNoIdle, StreamNoIdle,
};

// ---- connecting ---------------------------------------------------------------

HRESULT Refuse(HRESULT status, const std::string& reason) {
  VornSetFailureReason(reason.c_str());
  return status;
}

bool IsAddressLiteral(const std::string& server) {
  in_addr v4{};
  in6_addr v6{};
  return inet_pton(AF_INET, server.c_str(), &v4) == 1 ||
         inet_pton(AF_INET6, server.c_str(), &v6) == 1;
}

// A TCP connection to the first address of `server` that answers within
// the deadline; -1 when none does (errno says why for the last one).
int ConnectTcp(const std::string& server, uint16_t port, int64_t deadline) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_family = AF_UNSPEC;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  if (getaddrinfo(server.c_str(), service.c_str(), &hints, &found) != 0) {
    errno = EHOSTUNREACH;
    return -1;
  }
  int fd = -1;
  for (addrinfo* at = found; at && fd < 0; at = at->ai_next) {
    fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, at->ai_protocol);
    if (fd < 0) continue;
    int r = connect(fd, at->ai_addr, at->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS && WaitFor(fd, POLLOUT, deadline)) {
      int error = 0;
      socklen_t length = sizeof(error);
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
      r = error == 0 ? 0 : -1;
      if (error) errno = error;
    } else if (r != 0 && errno == EINPROGRESS) {
      errno = ETIMEDOUT;
    }
    if (r != 0) {
      int saved = errno;
      close(fd);
      errno = saved;
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd >= 0) {
    // Commands go out whole from libetpan's buffer; waiting to merge them
    // with the next (Nagle) only stalls an APPEND's literal behind the
    // server's delayed acknowledgement.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  return fd;
}

// Why GnuTLS refused the server's certificate, as a status and a reason.
HRESULT CertificateRefusal(unsigned status, const std::string& server) {
  std::string prefix = "the certificate of the IMAP server " + server;
  if (status & GNUTLS_CERT_EXPIRED) {
    return Refuse(IMAP_E_CERT_EXPIRED, prefix + " (or one of its chain) has expired");
  }
  if (status & GNUTLS_CERT_NOT_ACTIVATED) {
    return Refuse(IMAP_E_CERT_EXPIRED, prefix + " (or one of its chain) is not yet valid");
  }
  if (status & GNUTLS_CERT_UNEXPECTED_OWNER) {
    return Refuse(IMAP_E_CERT_NAME, prefix + " is issued for another host name");
  }
  if (status & GNUTLS_CERT_REVOKED) {
    return Refuse(IMAP_E_CERTIFICATE, prefix + " is revoked");
  }
  if (status & (GNUTLS_CERT_SIGNER_NOT_FOUND | GNUTLS_CERT_SIGNER_NOT_CA)) {
    return Refuse(IMAP_E_CERTIFICATE, prefix +
                                          " is not signed by a trusted authority (name the "
                                          "authority's certificate in CAFile)");
  }
  std::string text;
  gnutls_datum_t printed{};
  if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &printed, 0) == 0) {
    text.assign(reinterpret_cast<const char*>(printed.data), printed.size);
    gnutls_free(printed.data);
  }
  return Refuse(IMAP_E_CERTIFICATE, prefix + " is not trusted: " + text);
}

// Loads the authorities and runs the handshake over `t`'s socket; on success
// the transport reads and writes through TLS.
HRESULT StartTls(Transport* t, const Account& account, const std::string& where) {
  int r = gnutls_certificate_allocate_credentials(&t->credentials);
  if (r < 0) return E_OUTOFMEMORY;
  if (account.caFile.empty()) {
    r = gnutls_certificate_set_x509_system_trust(t->credentials);
    if (r <= 0) {
      return Refuse(IMAP_E_CERTIFICATE, "the system holds no certificate authorities to verify "
                                        "the IMAP server " + where + " (set CAFile)");
    }
  } else {
    r = gnutls_certificate_set_x509_trust_file(t->credentials, account.caFile.c_str(),
                                               GNUTLS_X509_FMT_PEM);
    if (r <= 0) {
      return Refuse(STG_E_FILENOTFOUND, "the CAFile " + account.caFile +
                                            " cannot be read or holds no certificate");
    }
  }
  gnutls_session_t session = nullptr;
  if (gnutls_init(&session, GNUTLS_CLIENT) < 0) return E_OUTOFMEMORY;
  t->tls = session;
  if (gnutls_set_default_priority(session) < 0 ||
      gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, t->credentials) < 0) {
    return E_OUTOFMEMORY;
  }
  // The name sent and verified is the one the person set up; an address
  // literal is checked against the certificate's IP addresses.
  if (!IsAddressLiteral(account.server)) {
    gnutls_server_name_set(session, GNUTLS_NAME_DNS, account.server.data(),
                           account.server.size());
  }
  gnutls_session_set_verify_cert(session, account.server.c_str(), 0);
  gnutls_transport_set_ptr(session, t);
  gnutls_transport_set_push_function(session, TlsPush);
  gnutls_transport_set_pull_function(session, TlsPull);
  gnutls_transport_set_pull_timeout_function(session, TlsPullTimeout);
  gnutls_handshake_set_timeout(session, static_cast<unsigned>(t->timeoutMs));
  t->StartCall();
  do {
    r = gnutls_handshake(session);
  } while (r < 0 && !gnutls_error_is_fatal(r) && NowMs() < t->deadline);
  if (r == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
    return CertificateRefusal(gnutls_session_get_verify_cert_status(session), where);
  }
  if (r < 0) {
    return Refuse(IMAP_E_UNREACHABLE, "the TLS handshake with the IMAP server " + where +
                                          " failed: " + gnutls_strerror(r));
  }
  return S_OK;
}

}  // namespace

HRESULT ConnectImap(mailimap* imap, const Account& account, time_t timeoutSeconds,
                    int* greeting) {
  const std::string where = account.server + ":" + std::to_string(account.port);
  const bool tls = account.security == "tls";
  const bool starttls = account.security == "starttls";
  auto* t = new (std::nothrow) Transport;
  if (!t) return E_OUTOFMEMORY;
  t->timeoutMs = static_cast<int64_t>(timeoutSeconds) * 1000;
  t->fd = ConnectTcp(account.server, account.port, NowMs() + t->timeoutMs);
  if (t->fd < 0) {
    std::string why = std::strerror(errno);
    delete t;
    return Refuse(IMAP_E_UNREACHABLE, "the IMAP server " + where + " cannot be reached (" +
                                          why + ")");
  }
  if (tls) {
    HRESULT hr = StartTls(t, account, where);
    if (FAILED(hr)) {
      delete t;
      return hr;
    }
  }
  mailstream_low* low = mailstream_low_new(t, &kDriver);
  mailstream* stream = low ? mailstream_new(low, kStreamBufferSize) : nullptr;
  if (!stream) {
    if (low) mailstream_low_free(low);  // frees `t` too
    else delete t;
    return E_OUTOFMEMORY;
  }
  // From here the session owns the stream; a failure takes it back.
  auto fail = [&](HRESULT status, const std::string& reason) {
    mailstream_close(imap->imap_stream);
    imap->imap_stream = nullptr;
    imap->imap_state = MAILIMAP_STATE_DISCONNECTED;
    return Refuse(status, reason);
  };
  int r = mailimap_connect(imap, stream);
  if (r == MAILIMAP_ERROR_PARSE) {
    return fail(IMAP_E_PROTOCOL, "the IMAP server " + where + " greeted with something that is "
                                 "not IMAP");
  }
  if (r != MAILIMAP_NO_ERROR_NON_AUTHENTICATED && r != MAILIMAP_NO_ERROR_AUTHENTICATED) {
    return fail(IMAP_E_UNREACHABLE, "the IMAP server " + where + " did not greet");
  }
  if (starttls) {
    // A greeting that skips the login also skips TLS: refused, as is a
    // server that does not offer STARTTLS. Nothing the server sent before
    // the handshake may be read as if it came through TLS.
    if (r == MAILIMAP_NO_ERROR_AUTHENTICATED) {
      return fail(E_ACCESSDENIED, "the IMAP server " + where +
                                      " greets with PREAUTH, so STARTTLS cannot be used");
    }
    int s = mailimap_starttls(imap);
    if (s == MAILIMAP_ERROR_STREAM) {
      return fail(IMAP_E_UNREACHABLE, "the IMAP server " + where + " closed the connection");
    }
    // libetpan may refuse such data itself; either way it is named.
    if (imap->imap_stream->read_buffer_len != 0) {
      return fail(E_ACCESSDENIED, "the IMAP server " + where +
                                      " sent data after agreeing to STARTTLS, before TLS began");
    }
    if (s != MAILIMAP_NO_ERROR) {
      return fail(E_ACCESSDENIED, "the IMAP server " + where + " does not offer STARTTLS");
    }
    HRESULT hr = StartTls(t, account, where);
    if (FAILED(hr)) {
      char reason[VORN_MAX_FAILURE_REASON];
      VornGetFailureReason(reason, sizeof reason);
      return fail(hr, reason);
    }
    // What the server said before TLS is not to be trusted.
    mailimap_capability_data* capabilities = nullptr;
    if (mailimap_capability(imap, &capabilities) != MAILIMAP_NO_ERROR) {
      return fail(IMAP_E_UNREACHABLE,
                  "the IMAP server " + where + " did not list its capabilities after STARTTLS");
    }
    mailimap_capability_data_free(capabilities);
  }
  *greeting = r;
  return S_OK;
}

}  // namespace vorn_imap
