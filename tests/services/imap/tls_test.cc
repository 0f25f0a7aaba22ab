// The account's connection over TLS, against a Dovecot of this program's
// own that presents certificates made here: one for 127.0.0.1 and
// localhost on 127.0.0.1, one for another name on 127.0.0.2, an expired one
// on 127.0.0.3, all from a test authority; and a second authority that
// signed none of them.

#include <gtest/gtest.h>


#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/failure_reason.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "services/imap/tls_transport.h"
#include "tests/services/imap/imap_fixture.h"
#include "tests/support/loopback_server.h"

namespace imap_test {
namespace {

// Two authorities and three server certificates, with openssl. The expired
// one gets its dates from `openssl ca`, which accepts any start and end.
constexpr const char kMakeCertificates[] = R"(set -e
cd "$1"
q() { "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }; }
key="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
for ca in ca other; do
  q openssl req -x509 $key -keyout $ca.key -out $ca.pem -days 30 -subj "/CN=$ca test authority" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
done
: > index.txt
echo 01 > serial
printf '[ca]\ndefault_ca=d\n[d]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\n' > ca.cnf
printf 'default_md=sha256\npolicy=p\ncopy_extensions=copy\nunique_subject=no\n' >> ca.cnf
printf '[p]\ncommonName=supplied\n' >> ca.cnf
server() {
  q openssl req $key -keyout $1.key -out $1.csr -subj "/CN=$1" -addext "subjectAltName=$2"
  q openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in $1.csr -out $1.pem \
    -startdate $3 -enddate $4 -notext
}
server good IP:127.0.0.1,DNS:localhost 20200101000000Z 20991231000000Z
server wrong DNS:wrong.example 20200101000000Z 20991231000000Z
server expired IP:127.0.0.3 20200101000000Z 20210101000000Z
)";

// The folder of the certificates, made once for the program.
const std::string& CertificateDir() {
  static const std::string dir = [] {
    std::string made = vorn_test::MakeTempDir("vorn-tls");
    std::string script = made + "/make.sh";
    FILE* out = std::fopen(script.c_str(), "w");
    if (out) {
      std::fputs(kMakeCertificates, out);
      std::fclose(out);
    }
    if (std::system(("sh '" + script + "' '" + made + "'").c_str()) != 0) return std::string();
    return made;
  }();
  return dir;
}

vorn_test::DovecotServer& TlsServer() {
  const std::string& dir = CertificateDir();
  vorn_test::DovecotServer::Options options;
  options.certFile = dir + "/good.pem";
  options.keyFile = dir + "/good.key";
  options.locals = {{"127.0.0.2", dir + "/wrong.pem", dir + "/wrong.key"},
                    {"127.0.0.3", dir + "/expired.pem", dir + "/expired.key"}};
  return vorn_test::DovecotServer::Shared(options);
}

void SetValue(HKEY key, const char* name, const std::string& value) {
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
}

class ImapTls : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(CertificateDir().empty()) << "openssl could not make the certificates";
    ASSERT_TRUE(server_.ok()) << server_.error();
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    ASSERT_EQ(S_OK, RegisterLibrary(MimeLibraryPath()));
    server_.WriteAccount(server_.NewUser());
  }
  void TearDown() override { CoUninitialize(); }

  // Points the account at `server` with `security`; `tlsPort` picks the
  // IMAPS port rather than the one that offers STARTTLS, `port` any other.
  void Account(const std::string& server, const char* security, bool tlsPort,
               const std::string& caFile, DWORD port = 0) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Vorn\\Imap", 0,
                                           KEY_ALL_ACCESS, &key));
    SetValue(key, "Server", server);
    SetValue(key, "Security", security);
    if (caFile.empty()) {
      RegDeleteValueA(key, "CAFile");
    } else {
      SetValue(key, "CAFile", caFile);
    }
    if (port == 0) port = tlsPort ? server_.tlsPort() : server_.port();
    RegSetValueExA(key, "Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof port);
    RegCloseKey(key);
  }

  HRESULT Open(ComPtr<IStoreNamespace>* store) {
    VornSetFailureReason(nullptr);
    HRESULT hr = CreateImapNamespace(store);
    return SUCCEEDED(hr) ? (*store)->Initialize(nullptr, 0) : hr;
  }

  vorn_test::TempRoot root_;
  vorn_test::DovecotServer& server_ = TlsServer();
};

// Over IMAPS and over STARTTLS, a folder created through one namespace is
// on the server for the next one. "localhost" is matched against the
// certificate's DNS name, 127.0.0.1 against its IP address.
TEST_F(ImapTls, VerifiedConnectionsServeTheStore) {
  const struct {
    const char* server;
    const char* security;
    bool tlsPort;
  } kCases[] = {{"127.0.0.1", "tls", true}, {"localhost", "starttls", false}};
  int made = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.security);
    Account(c.server, c.security, c.tlsPort, CertificateDir() + "/ca.pem");
    const std::string name = std::string("Over ") + c.security;
    {
      ComPtr<IStoreNamespace> store;
      ASSERT_EQ(S_OK, Open(&store)) << Reason();
      STOREFOLDERID id = 0;
      ASSERT_EQ(S_OK, store->CreateFolder(FOLDERID_ROOT, name.c_str(), 0, &id)) << Reason();
      ++made;
    }
    ComPtr<IStoreNamespace> again;
    ASSERT_EQ(S_OK, Open(&again)) << Reason();
    FOLDERPROPS props{};
    props.cbSize = sizeof props;
    HENUMSTORE handle = 0;
    int found = 0;
    for (HRESULT hr = again->GetFirstSubFolder(FOLDERID_ROOT, &props, &handle); hr == S_OK;
         hr = again->GetNextSubFolder(handle, &props)) {
      found += name == props.szName ? 1 : 0;
    }
    if (handle) again->GetSubFolderClose(handle);
    EXPECT_EQ(1, found);
  }
  EXPECT_EQ(2, made);
}

// A certificate that cannot be verified ends the connection before the
// login, with a status and a reason that say what is wrong with it.
TEST_F(ImapTls, UnverifiableCertificatesAreRefusedWithTheirReason) {
  const std::string dir = CertificateDir();
  const struct {
    const char* what;
    const char* server;
    const char* security;
    bool tlsPort;
    std::string caFile;
    HRESULT status;
    const char* reason;
  } kCases[] = {
      {"another authority", "127.0.0.1", "tls", true, dir + "/other.pem",
       vorn_imap::IMAP_E_CERTIFICATE, "not signed by a trusted authority"},
      {"the system's authorities", "127.0.0.1", "starttls", false, "",
       vorn_imap::IMAP_E_CERTIFICATE, "authorit"},
      {"a certificate for another name", "127.0.0.2", "tls", true, dir + "/ca.pem",
       vorn_imap::IMAP_E_CERT_NAME, "another host name"},
      {"an expired certificate", "127.0.0.3", "starttls", false, dir + "/ca.pem",
       vorn_imap::IMAP_E_CERT_EXPIRED, "expired"},
      {"a CAFile that is not there", "127.0.0.1", "tls", true, dir + "/missing.pem",
       STG_E_FILENOTFOUND, "missing.pem"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Account(c.server, c.security, c.tlsPort, c.caFile);
    ComPtr<IStoreNamespace> store;
    EXPECT_EQ(c.status, Open(&store));
    const std::string reason = Reason();
    EXPECT_NE(std::string::npos, reason.find(c.reason)) << reason;
    EXPECT_EQ(std::string::npos, reason.find(vorn_test::kDovecotPassword)) << reason;
  }
}

// A server that would let STARTTLS be skipped, or slips its own lines in
// ahead of the handshake, is refused before the login is sent.
TEST_F(ImapTls, StartTlsIsNotSkippedNorPrefixed) {
  const struct {
    const char* what;
    const char* greeting;
    const char* answer;
    const char* reason;
  } kCases[] = {
      {"a PREAUTH greeting", "* PREAUTH ready\r\n", " OK\r\n", "PREAUTH"},
      {"lines after the STARTTLS answer", "* OK ready\r\n",
       " OK begin TLS\r\n* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n", "before TLS began"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    // Sends the greeting, answers the first command with its tag and the
    // answer, and keeps what the client sent until it closes.
    std::string sent;
    {
      vorn_test::ScriptedServer scripted([&](int fd) {
        vorn_test::SendAll(fd, c.greeting);
        std::string line = vorn_test::ReadLine(fd);
        sent = line + "\n";
        vorn_test::SendAll(fd, line.substr(0, line.find(' ')) + c.answer);
        while (!(line = vorn_test::ReadLine(fd)).empty()) sent += line + "\n";
      });
      Account("127.0.0.1", "starttls", false, CertificateDir() + "/ca.pem", scripted.port());
      ComPtr<IStoreNamespace> store;
      EXPECT_EQ(E_ACCESSDENIED, Open(&store));
    }
    EXPECT_NE(std::string::npos, Reason().find(c.reason)) << Reason();
    EXPECT_EQ(std::string::npos, sent.find("LOGIN")) << sent;
    EXPECT_EQ(std::string::npos, sent.find(vorn_test::kDovecotPassword)) << sent;
  }
}

// The password goes in clear only to a loopback address: any other server
// is refused before a connection is tried.
TEST_F(ImapTls, ClearTextOnlyToLoopback) {
  Account("192.0.2.1", "none", false, "");
  ComPtr<IStoreNamespace> store;
  EXPECT_EQ(E_INVALIDARG, Open(&store));
  EXPECT_NE(std::string::npos, Reason().find("only for a loopback address")) << Reason();
}

}  // namespace
}  // namespace imap_test
