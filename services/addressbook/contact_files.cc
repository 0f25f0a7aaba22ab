#include "services/addressbook/contact_files.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/failure_reason.h"

namespace vorn_wab {
namespace {

// The one place where system errors become statuses.
HRESULT StatusFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return E_ACCESSDENIED;
    case ENOMEM:
      return E_OUTOFMEMORY;
    case ENOENT:
    case ENOTDIR:
      return STG_E_FILENOTFOUND;
    default:
      return STG_E_READFAULT;
  }
}

// The status of a contacts folder (or file) that cannot be read, with the
// reason set for the person who must fix it.
HRESULT Unreadable(const std::string& path, int error) {
  const std::string reason = "the contacts folder " + path + " cannot be read: " +
                             std::strerror(error);
  VornSetFailureReason(reason.c_str());
  return StatusFromErrno(error);
}

bool HasVcfExtension(const std::string& name) {
  if (name.size() <= 4) return false;
  const std::string_view tail = std::string_view(name).substr(name.size() - 4);
  return tail[0] == '.' && (tail[1] | 0x20) == 'v' && (tail[2] | 0x20) == 'c' &&
         (tail[3] | 0x20) == 'f';
}

// Reads a whole regular file into *bytes (whose capacity is reused from file
// to file). False when it cannot be opened, is not a regular file (a FIFO
// would block), fails to read or exceeds the limit.
bool ReadWholeFile(const std::string& path, std::string* bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
            static_cast<unsigned long long>(info.st_size) <= kMaxContactFileBytes;
  size_t have = 0;
  if (ok) {
    // One byte more than the size: a read that falls short of it has met the
    // end, which saves the read that would only report the end.
    const size_t expected = static_cast<size_t>(info.st_size);
    bytes->resize(expected + 1);
    for (;;) {
      if (have == bytes->size()) {  // the file grew while being read
        if (bytes->size() > kMaxContactFileBytes) {
          ok = false;
          break;
        }
        bytes->resize(std::min(bytes->size() * 2, kMaxContactFileBytes + 1));
      }
      const ssize_t got = read(fd, bytes->data() + have, bytes->size() - have);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        ok = false;
        break;
      }
      have += static_cast<size_t>(got);
      if (got == 0 || (have >= expected && have < bytes->size())) break;
    }
  }
  close(fd);
  bytes->resize(ok ? have : 0);
  return ok;
}

class ContactFileSource final : public ContactSource {
 public:
  explicit ContactFileSource(std::string path) : path_(std::move(path)) {}

  HRESULT Load(std::vector<Contact>* contacts) override {
    contacts->clear();
    VCardReader reader;
    return ReadContactFiles(path_, &reader, contacts);
  }

 private:
  const std::string path_;
};

}  // namespace

HRESULT ReadContactFiles(const std::string& path, VCardReader* reader,
                         std::vector<Contact>* contacts) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return S_OK;
    return Unreadable(path, errno);
  }
  std::string bytes;
  if (!S_ISDIR(info.st_mode)) {
    if (S_ISREG(info.st_mode) && ReadWholeFile(path, &bytes)) reader->Read(bytes, contacts);
    return S_OK;
  }

  DIR* folder = opendir(path.c_str());
  if (!folder) return Unreadable(path, errno);
  std::vector<std::string> names;
  int listError = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(folder);
    if (!entry) {
      listError = errno;
      break;
    }
    std::string name = entry->d_name;
    if (HasVcfExtension(name)) names.push_back(std::move(name));
  }
  closedir(folder);
  if (listError != 0) return Unreadable(path, listError);

  std::sort(names.begin(), names.end());
  const std::string prefix = path.empty() || path.back() == '/' ? path : path + "/";
  for (const std::string& name : names) {
    if (ReadWholeFile(prefix + name, &bytes)) reader->Read(bytes, contacts);
  }
  return S_OK;
}

std::shared_ptr<ContactSource> MakeContactFileSource(std::string path) {
  return std::make_shared<ContactFileSource>(std::move(path));
}

}  // namespace vorn_wab
