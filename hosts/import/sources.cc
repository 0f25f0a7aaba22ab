#include "hosts/import/sources.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hosts/import/maildir.h"

namespace vorn_import {
namespace {

bool EndsWithEml(const std::string& path) {
  if (path.size() < 4) return false;
  std::string_view tail = std::string_view(path).substr(path.size() - 4);
  return tail[0] == '.' && (tail[1] | 0x20) == 'e' && (tail[2] | 0x20) == 'm' &&
         (tail[3] | 0x20) == 'l';
}

}  // namespace

SourceKind DetectSource(const std::string& path, std::string* reason) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    *reason = std::strerror(errno);
    return SourceKind::kRefused;
  }
  if (S_ISDIR(info.st_mode)) {
    if (IsMaildir(path)) return SourceKind::kMaildir;
    *reason = "a folder without cur/ or new/, so not a Maildir";
    return SourceKind::kRefused;
  }
  if (!S_ISREG(info.st_mode)) {
    *reason = "neither a file nor a folder";
    return SourceKind::kRefused;
  }
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return SourceKind::kRefused;
  }
  char start[5] = {};
  ssize_t got = 0;
  int readError = 0;
  while (got < 5) {
    ssize_t n = read(fd, start + got, sizeof(start) - static_cast<size_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) readError = errno;
    if (n <= 0) break;
    got += n;
  }
  close(fd);
  if (readError != 0) {
    *reason = std::strerror(readError);
    return SourceKind::kRefused;
  }
  if (got == 0) return SourceKind::kEmpty;
  if (got == 5 && std::memcmp(start, "From ", 5) == 0) return SourceKind::kMbox;
  if (EndsWithEml(path)) return SourceKind::kMessageFile;
  *reason =
      "not an mbox file (it does not start with a \"From \" line), a Maildir folder or an "
      ".eml file";
  return SourceKind::kRefused;
}

const char* CheckMessageStart(std::string_view bytes) {
  if (bytes.empty()) return "the message is empty";
  size_t i = 0;
  while (i < bytes.size() && bytes[i] > ' ' && bytes[i] < 0x7F && bytes[i] != ':') ++i;
  size_t nameLength = i;
  while (i < bytes.size() && (bytes[i] == ' ' || bytes[i] == '\t')) ++i;
  if (nameLength == 0 || i == bytes.size() || bytes[i] != ':') {
    return "it does not start with a header field, so it is no mail message";
  }
  return nullptr;
}

}  // namespace vorn_import
