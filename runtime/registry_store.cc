// The registry file: cached reading, locked atomic writing.

#include "runtime/registry_store.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstdio>

#include "runtime/posix_io.h"
#include "runtime/root_path.h"

namespace vorn_rt {
namespace {

constexpr char kTempSuffix[] = ".tmp";
constexpr char kLockName[] = "/registry.lock";

// The one place where the file system's errors become registry errors.
LONG WriteErrorFromErrno(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_CANTWRITE;
  }
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = io::Write(fd, text.data() + done, text.size() - done);
    if (written < 0) return false;
    if (written == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(written);
  }
  return true;
}

// Holds the exclusive lock of a root folder's registry for its lifetime.
class FileLock {
 public:
  explicit FileLock(const std::string& root) {
    fd_ = io::Open((root + kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      error_ = WriteErrorFromErrno(errno);
    } else if (io::Flock(fd_, LOCK_EX) != 0) {
      error_ = WriteErrorFromErrno(errno);
      io::Close(fd_);
      fd_ = -1;
    }
  }
  ~FileLock() {
    if (fd_ >= 0) io::Close(fd_);  // closing the descriptor releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  LONG error() const { return error_; }

 private:
  int fd_ = -1;
  LONG error_ = ERROR_SUCCESS;
};

}  // namespace

bool RegistryStore::Stamp::operator==(const Stamp& other) const {
  return exists == other.exists && device == other.device && inode == other.inode &&
         size == other.size && SameTime(modified, other.modified) &&
         SameTime(changed, other.changed);
}

RegistryStore::Stamp RegistryStore::StampOf(const struct stat& info) {
  Stamp stamp;
  stamp.exists = true;
  stamp.device = info.st_dev;
  stamp.inode = info.st_ino;
  stamp.size = info.st_size;
  stamp.modified = info.st_mtim;
  stamp.changed = info.st_ctim;
  return stamp;
}

LONG RegistryStore::Refresh() {
  const std::string root = RootPath();
  if (root.empty()) return ERROR_CANTOPEN;
  return Load(root + kRegistryFileName, false);
}

LONG RegistryStore::Load(const std::string& path, bool force) {
  struct stat info {};
  if (io::Stat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) {
      loaded_ = false;
      return ERROR_CANTREAD;
    }
    if (!loaded_ || path_ != path || stamp_.exists) tree_ = RegistryTree();
    loaded_ = true;
    bad_ = false;
    path_ = path;
    stamp_ = Stamp();
    return ERROR_SUCCESS;
  }
  if (!force && loaded_ && path_ == path && stamp_ == StampOf(info)) {
    return bad_ ? ERROR_BADDB : ERROR_SUCCESS;
  }
  return ReadAndParse(path);
}

LONG RegistryStore::ReadAndParse(const std::string& path) {
  loaded_ = false;
  const int fd = io::Open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    // Replaced between the look and the open: the next call looks again.
    return ERROR_CANTREAD;
  }
  struct stat info {};
  std::string text;
  bool ok = io::Fstat(fd, &info) == 0;
  if (ok) text.reserve(static_cast<size_t>(info.st_size));
  char buffer[16384];
  while (ok) {
    const ssize_t got = io::Read(fd, buffer, sizeof(buffer));
    if (got < 0) ok = false;
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  io::Close(fd);
  if (!ok) return ERROR_CANTREAD;

  ParseError error;
  RegistryTree parsed;
  bad_ = !ParseRegistryText(text, &parsed, &error);
  tree_ = std::move(parsed);
  path_ = path;
  stamp_ = StampOf(info);
  loaded_ = true;
  if (bad_) {
    ReportBadFile(path, error);
    return ERROR_BADDB;
  }
  return ERROR_SUCCESS;
}

void RegistryStore::ReportBadFile(const std::string& path, const ParseError& error) {
  if (reportedPath_ == path && reportedStamp_ == stamp_) return;
  reportedPath_ = path;
  reportedStamp_ = stamp_;
  std::fprintf(stderr,
               "vorn: registry file %s line %zu: %s; the file is left as it is and the "
               "registry is unavailable until it is mended or removed\n",
               path.c_str(), error.line, error.message.c_str());
}

LONG RegistryStore::Modify(const Change& change) {
  const std::string root = RootPath();
  if (root.empty()) return ERROR_CANTOPEN;
  const std::string path = root + kRegistryFileName;
  FileLock lock(root);
  if (lock.error() != ERROR_SUCCESS) return lock.error();
  // Another process may have written since this one last looked, even within
  // the resolution of the file times: always start from the file itself.
  LONG status = Load(path, true);
  if (status != ERROR_SUCCESS) return status;
  bool changed = false;
  try {
    status = change(tree_, &changed);
  } catch (...) {
    loaded_ = false;
    throw;
  }
  if (!changed) return status;
  if (status != ERROR_SUCCESS) {
    loaded_ = false;
    return status;
  }
  status = WriteAtomically(root, path, FormatRegistryText(tree_));
  if (status != ERROR_SUCCESS) loaded_ = false;  // the tree holds what the file does not
  return status;
}

LONG RegistryStore::WriteAtomically(const std::string& root, const std::string& path,
                                    const std::string& text) {
  const std::string temp = path + kTempSuffix;
  const int fd = io::Open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return WriteErrorFromErrno(errno);
  if (!WriteAll(fd, text) || io::Fsync(fd) != 0) {
    const int error = errno;
    io::Close(fd);
    io::Unlink(temp.c_str());
    return WriteErrorFromErrno(error);
  }
  if (io::Close(fd) != 0 || io::Rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    io::Unlink(temp.c_str());
    return WriteErrorFromErrno(error);
  }
  // The new file is in place. Flushing the folder makes the rename itself
  // durable; where the file system cannot, the change still stands.
  const int folder = io::Open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    io::Fsync(folder);
    io::Close(folder);
  }
  struct stat info {};
  if (io::Stat(path.c_str(), &info) == 0) {
    path_ = path;
    stamp_ = StampOf(info);
    bad_ = false;
    loaded_ = true;
  } else {
    loaded_ = false;
  }
  return ERROR_SUCCESS;
}

}  // namespace vorn_rt
