#include "services/imap/account.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/failure_reason.h"
#include "platform/registry.h"

namespace vorn_imap {
namespace {

// A REG_SZ value of `key`; false when missing or of another type.
bool ReadString(HKEY key, const char* name, std::string* value) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  std::string buffer(size + 1, '\0');
  DWORD got = size + 1;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                       &got) != ERROR_SUCCESS) {
    return false;
  }
  buffer.resize(std::strlen(buffer.c_str()));
  *value = std::move(buffer);
  return true;
}

// A number value of `key`, REG_DWORD or a decimal REG_SZ, from `low` to
// `high`. *value is left as it was when the value is missing; false when it
// is there but not such a number.
bool ReadNumber(HKEY key, const char* name, DWORD low, DWORD high, DWORD* value) {
  DWORD type = 0;
  DWORD number = 0;
  DWORD size = sizeof(number);
  std::string text;
  bool dword = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&number),
                                &size) == ERROR_SUCCESS &&
               type == REG_DWORD;
  if (dword) {
    // taken as it is
  } else if (ReadString(key, name, &text)) {
    char* end = nullptr;
    errno = 0;
    unsigned long parsed = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || *end != '\0' ||
        errno == ERANGE || parsed > high) {
      return false;
    }
    number = static_cast<DWORD>(parsed);
  } else {
    return true;
  }
  if (number < low || number > high) return false;
  *value = number;
  return true;
}

HRESULT Refuse(HRESULT status, const std::string& reason) {
  VornSetFailureReason(("IMAP account: " + reason).c_str());
  return status;
}

}  // namespace

HRESULT ReadPasswordFile(const std::string& path, std::string* password) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    return Refuse(STG_E_FILENOTFOUND, "the password file " + path + " cannot be read (" +
                                          std::strerror(errno) + ")");
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return Refuse(E_ACCESSDENIED, "the password file " + path + " is not a regular file");
  }
  if (info.st_mode & (S_IRGRP | S_IROTH | S_IWGRP | S_IWOTH)) {
    close(fd);
    return Refuse(E_ACCESSDENIED, "the password file " + path +
                                      " may be read by others than its owner (chmod 600 it)");
  }
  std::string text;
  char buffer[512];
  ssize_t got;
  while (text.size() < 4096 && (got = read(fd, buffer, sizeof(buffer))) > 0) {
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  size_t end = text.find_first_of("\r\n");
  if (end != std::string::npos) text.resize(end);
  if (text.empty()) {
    return Refuse(E_ACCESSDENIED, "the password file " + path + " holds no password");
  }
  *password = std::move(text);
  return S_OK;
}

bool IsLoopbackServer(const std::string& server) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (server.empty() || getaddrinfo(server.c_str(), nullptr, &hints, &found) != 0) return false;
  bool loopback = found != nullptr;
  for (addrinfo* at = found; at; at = at->ai_next) {
    if (at->ai_family == AF_INET) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(at->ai_addr);
      loopback = loopback && (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    } else if (at->ai_family == AF_INET6) {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(at->ai_addr);
      loopback = loopback && IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
    } else {
      loopback = false;
    }
  }
  freeaddrinfo(found);
  return loopback;
}

HRESULT ReadAccount(Account* account) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kAccountKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return Refuse(REGDB_E_KEYMISSING,
                  std::string("no account is set up (HKEY_CURRENT_USER\\") + kAccountKey + ")");
  }
  Account read;
  std::string passwordFile;
  bool complete = ReadString(key, "Server", &read.server) && ReadString(key, "User", &read.user) &&
                  ReadString(key, "PasswordFile", &passwordFile);
  if (!ReadString(key, "Security", &read.security)) read.security = "none";
  ReadString(key, "CAFile", &read.caFile);
  DWORD port = read.security == "tls" ? 993 : 143;
  bool portOk = ReadNumber(key, "Port", 1, 65535, &port);
  DWORD timeout = read.timeoutSeconds;
  bool timeoutOk = ReadNumber(key, "Timeout", 1, 3600, &timeout);
  RegCloseKey(key);
  if (!complete || read.server.empty() || read.user.empty() || passwordFile.empty()) {
    return Refuse(REGDB_E_KEYMISSING, "Server, User and PasswordFile must all be set");
  }
  if (!portOk) return Refuse(E_INVALIDARG, "Port must be a number from 1 to 65535");
  if (!timeoutOk) return Refuse(E_INVALIDARG, "Timeout must be a number of seconds from 1 to 3600");
  read.timeoutSeconds = timeout;
  read.port = static_cast<uint16_t>(port);
  if (read.security != "none" && read.security != "tls" && read.security != "starttls") {
    return Refuse(E_INVALIDARG, "Security must be none, tls or starttls");
  }
  if (read.security == "none" && !IsLoopbackServer(read.server)) {
    return Refuse(E_INVALIDARG, "Security \"none\" sends the password in clear and is allowed "
                                "only for a loopback address, not " + read.server);
  }
  HRESULT hr = ReadPasswordFile(passwordFile, &read.password);
  if (FAILED(hr)) return hr;
  *account = std::move(read);
  return S_OK;
}

std::string AccountCacheName(const Account& account) {
  std::string raw = account.user + "@" + account.server + "-" + std::to_string(account.port);
  std::string name;
  for (unsigned char c : raw) {
    if (std::isalnum(c) || c == '.' || c == '-' || c == '@') {
      name.push_back(static_cast<char>(c));
    } else {
      char hex[4];
      std::snprintf(hex, sizeof(hex), "_%02X", c);
      name += hex;
    }
  }
  return name;
}

}  // namespace vorn_imap
