#include "tests/support/dovecot_server.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/registry.h"
#include "tests/support/temp_root.h"

namespace vorn_test {
namespace {

// A port nothing listens on right now.
uint16_t FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

// True once the server greets a client on `port`.
bool Greets(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool greeted = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
    timeval wait{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    std::string text;
    char buffer[256];
    ssize_t got;
    while (text.find("\r\n") == std::string::npos &&
           (got = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
      text.append(buffer, static_cast<size_t>(got));
    }
    greeted = text.find("* OK") != std::string::npos &&
              text.find("Waiting for authentication") == std::string::npos;
  }
  close(fd);
  return greeted;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

DovecotServer& DovecotServer::Shared(const Options& options) {
  static DovecotServer server(options);
  return server;
}

DovecotServer::DovecotServer(const Options& options) {
  signal(SIGPIPE, SIG_IGN);
  dir_ = MakeTempDir("vorn-dovecot");
  // Dovecot runs its processes as an unprivileged user; as root, that is
  // nobody, who must own the mail folder.
  bool root = geteuid() == 0;
  const passwd* user = root ? getpwnam("nobody") : getpwuid(geteuid());
  if (!user) {
    error_ = "no user to run Dovecot as";
    return;
  }
  const group* grp = getgrgid(user->pw_gid);
  std::string userName = user->pw_name;
  std::string groupName = grp ? grp->gr_name : std::to_string(user->pw_gid);
  port_ = FreePort();
  const bool tls = !options.certFile.empty();
  std::string addresses = "127.0.0.1";
  for (const Options::Local& local : options.locals) addresses += ", " + local.address;
  std::ofstream config(dir_ + "/dovecot.conf");
  config << "base_dir = " << dir_ << "/run\n"
         << "state_dir = " << dir_ << "/state\n"
         << "log_path = " << dir_ << "/dovecot.log\n"
         << "protocols = imap\nlisten = " << addresses << "\n"
         << "disable_plaintext_auth = no\nauth_mechanisms = plain\nauth_failure_delay = 0\n"
         << "first_valid_uid = 1\nfirst_valid_gid = 0\n"
         << "mail_fsync = " << (options.mailFsync.empty() ? "never" : options.mailFsync) << "\n"
         << "mail_location = maildir:" << dir_ << "/mail/%u:LAYOUT=fs\n"
         << "default_internal_user = " << userName << "\n"
         << "default_internal_group = " << groupName << "\n"
         << "default_login_user = " << userName << "\n"
         << "passdb {\n  driver = static\n  args = password=" << kDovecotPassword << "\n}\n"
         << "userdb {\n  driver = static\n  args = uid=" << user->pw_uid
         << " gid=" << user->pw_gid << " home=" << dir_ << "/home/%u\n}\n"
         << "namespace inbox {\n  inbox = yes\n  separator = /\n}\n"
         << "service imap-login {\n  chroot =\n  inet_listener imap {\n"
         << "    address = " << addresses << "\n    port = " << port_ << "\n  }\n";
  if (tls) {
    tlsPort_ = FreePort();
    config << "  inet_listener imaps {\n    address = " << addresses << "\n    port = "
           << tlsPort_ << "\n    ssl = yes\n  }\n}\n"
           << "ssl = yes\nssl_cert = <" << options.certFile << "\nssl_key = <"
           << options.keyFile << "\n";
    for (const Options::Local& local : options.locals) {
      config << "local " << local.address << " {\n  ssl_cert = <" << local.certFile
             << "\n  ssl_key = <" << local.keyFile << "\n}\n";
    }
  } else {
    config << "}\nssl = no\n";
  }
  config << "service anvil {\n  chroot =\n}\nservice stats {\n  chroot =\n}\n";
  if (options.hideExtensions) {
    config << "imap_capability = IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE SORT "
              "UNSELECT CHILDREN NAMESPACE LIST-EXTENDED I18NLEVEL=1 ESEARCH SEARCHRES "
              "WITHIN LIST-STATUS LITERAL+\n";
  }
  config.close();
  if (root) {
    mailUid_ = static_cast<int>(user->pw_uid);
    mailGid_ = static_cast<int>(user->pw_gid);
    std::filesystem::permissions(dir_, std::filesystem::perms(0755));
    for (const char* sub : {"/mail", "/home"}) {
      std::filesystem::create_directory(dir_ + sub);
      if (chown((dir_ + sub).c_str(), user->pw_uid, user->pw_gid) != 0) {
        error_ = "cannot give the mail folder to nobody";
        return;
      }
    }
  }
  Start();
}

bool DovecotServer::Start() {
  if (pid_ > 0) return true;
  // The server's processes come to this one when their master dies, so that
  // Kill reaps them at once rather than waiting for init to.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::string program = std::filesystem::exists("/usr/sbin/dovecot") ? "/usr/sbin/dovecot"
                                                                       : "dovecot";
  std::string configPath = dir_ + "/dovecot.conf";
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    execlp(program.c_str(), program.c_str(), "-F", "-c", configPath.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;
  for (int i = 0; i < 200; ++i) {
    if (Greets(port_)) {
      error_.clear();
      return true;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  error_ = "Dovecot did not start on port " + std::to_string(port_) + ": " +
           ReadFile(dir_ + "/dovecot.log");
  Kill();
  return false;
}

void DovecotServer::Kill() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGKILL);
  while (waitpid(-pid_, nullptr, 0) > 0 || errno == EINTR) {
  }
  for (int i = 0; i < 250 && kill(-pid_, 0) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid_ = -1;
  // What the dead processes had locked stays locked: a lock file killed
  // before its process id was written into it holds its mailbox for
  // minutes, until Dovecot takes it for stale. Locks go with the processes
  // that held them, as a restarted machine's would.
  std::error_code error;
  for (auto at = std::filesystem::recursive_directory_iterator(dir_ + "/mail", error);
       !error && at != std::filesystem::recursive_directory_iterator(); at.increment(error)) {
    std::error_code ignored;
    if (at->path().extension() == ".lock") std::filesystem::remove(at->path(), ignored);
  }
}

void DovecotServer::Pause() {
  if (pid_ > 0) kill(-pid_, SIGSTOP);
}

DovecotServer::~DovecotServer() {
  if (pid_ > 0) {
    // The master and every process it started share its process group; the
    // folder goes only once all of them are gone, or they would write into
    // it again while it is removed.
    kill(-pid_, SIGTERM);
    bool ended = false;
    for (int i = 0; i < 250 && !ended; ++i) {
      ended = waitpid(pid_, nullptr, WNOHANG) == pid_;
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Kill();
  }
  RemoveTree(dir_);
}

std::string DovecotServer::NewUser() {
  return "user" + std::to_string(getpid()) + "n" + std::to_string(++users_);
}

bool DovecotServer::GiveToServer(const std::string& path) const {
  if (mailUid_ < 0) return true;
  std::error_code error;
  auto give = [&](const std::string& one) {
    return lchown(one.c_str(), static_cast<uid_t>(mailUid_), static_cast<gid_t>(mailGid_)) == 0;
  };
  if (!give(path)) return false;
  if (!std::filesystem::is_directory(path, error)) return true;
  for (auto at = std::filesystem::recursive_directory_iterator(path, error);
       !error && at != std::filesystem::recursive_directory_iterator(); at.increment(error)) {
    if (!give(at->path().string())) return false;
  }
  return !error;
}

void DovecotServer::WriteAccount(const std::string& user) const {
  const char* root = std::getenv("VORN_ROOT");
  std::string passwordFile = std::string(root ? root : "/tmp") + "/imap-password";
  {
    std::ofstream out(passwordFile);
    out << kDovecotPassword << "\n";
  }
  chmod(passwordFile.c_str(), 0600);
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Vorn\\Imap", 0, nullptr, REG_OPTION_NON_VOLATILE,
                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
  auto set = [&](const char* name, const std::string& value) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
  };
  set("Server", "127.0.0.1");
  set("User", user);
  set("Security", "none");
  set("PasswordFile", passwordFile);
  DWORD port = port_;
  RegSetValueExA(key, "Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof(port));
  RegCloseKey(key);
}

}  // namespace vorn_test
