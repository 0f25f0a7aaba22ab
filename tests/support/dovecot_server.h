// A Dovecot IMAP server for tests: started once per test program, on
// 127.0.0.1 at a free port, unprivileged, with a throwaway configuration and
// mail folder; stopped when the program ends. Any user name logs in with
// the password kDovecotPassword and gets an empty account of its own, so
// each test takes a fresh user.
#pragma once

#include <cstdint>
#include <string>

namespace vorn_test {

constexpr const char* kDovecotPassword = "imap-test-secret";

class DovecotServer {
 public:
  struct Options {
    // Hide UIDPLUS, MOVE, CONDSTORE and QRESYNC from the capabilities.
    bool hideExtensions = false;
  };

  // The program's server, started on first use with `options` (later calls
  // get the same server whatever they pass). ok() tells whether it runs.
  static DovecotServer& Shared(const Options& options);

  bool ok() const { return pid_ > 0; }
  // Why it does not run, with the end of its log.
  const std::string& error() const { return error_; }
  uint16_t port() const { return port_; }

  // A user name no other test of this program has used.
  std::string NewUser();

  // Sets up the account of `user` in the current root: a password file
  // (mode 0600) in the root and the HKEY_CURRENT_USER\Software\Vorn\Imap key.
  void WriteAccount(const std::string& user) const;

  ~DovecotServer();
  DovecotServer(const DovecotServer&) = delete;
  DovecotServer& operator=(const DovecotServer&) = delete;

 private:
  explicit DovecotServer(const Options& options);

  std::string dir_;
  int pid_ = -1;
  uint16_t port_ = 0;
  int users_ = 0;
  std::string error_;
};

}  // namespace vorn_test
