// A Dovecot IMAP server for tests: started once per test program, on
// 127.0.0.1 at a free port, unprivileged, with a throwaway configuration and
// mail folder; stopped when the program ends. Any user name logs in with
// the password kDovecotPassword and gets an empty account of its own, so
// each test takes a fresh user.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn_test {

constexpr const char* kDovecotPassword = "imap-test-secret";

class DovecotServer {
 public:
  struct Options {
    // Hide UIDPLUS, MOVE, CONDSTORE and QRESYNC from the capabilities.
    bool hideExtensions = false;
    // TLS, when a certificate is given (PEM files): STARTTLS on port() and
    // IMAPS on tlsPort(). Each of `locals` is a further loopback address the
    // server listens on, presenting a certificate of its own there.
    std::string certFile;
    std::string keyFile;
    struct Local {
      std::string address;
      std::string certFile;
      std::string keyFile;
    };
    std::vector<Local> locals;
    // Dovecot's mail_fsync: "never" unless given ("optimized", Dovecot's own
    // default, or "always").
    std::string mailFsync;
  };

  // The program's server, started on first use with `options` (later calls
  // get the same server whatever they pass). ok() tells whether it runs.
  static DovecotServer& Shared(const Options& options);

  bool ok() const { return pid_ > 0; }
  // Why it does not run, with the end of its log.
  const std::string& error() const { return error_; }
  uint16_t port() const { return port_; }
  // The IMAPS port; 0 without TLS.
  uint16_t tlsPort() const { return tlsPort_; }

  // Kills the master and every process it started at once (SIGKILL to its
  // process group), as a crash would: open connections end
  // without a word, and nothing is written after. ok() is false until Start.
  void Kill();
  // Starts the server again on the same port with the same mail; true once
  // it greets (a server that runs is left as it is).
  bool Start();
  // Stops every process of the server (SIGSTOP) without closing anything:
  // clients wait for answers that do not come, until Kill.
  void Pause();

  // A user name no other test of this program has used.
  std::string NewUser();

  // The Maildir of `user`'s INBOX, and giving a file or folder written there
  // by the caller to the user the server runs as (for a server started as
  // root). False when it cannot be given.
  std::string InboxDir(const std::string& user) const { return dir_ + "/mail/" + user; }
  bool GiveToServer(const std::string& path) const;

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
  uint16_t tlsPort_ = 0;
  int mailUid_ = -1;  // the owner Dovecot needs for mail files; -1: ours
  int mailGid_ = -1;
  int users_ = 0;
  std::string error_;
};

}  // namespace vorn_test
