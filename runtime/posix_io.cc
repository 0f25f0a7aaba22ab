// Thin wrappers over the file system calls, with a test switch for faults.

#include "runtime/posix_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorn_rt::io {
namespace {

// True when the test switch asks `call` to fail; errno is then set.
bool Faulted(const char* call, int error) {
  const char* fault = std::getenv("VORN_TEST_IO_FAULT");
  if (!fault || std::strcmp(fault, call) != 0) return false;
  errno = error;
  return true;
}

}  // namespace

int Open(const char* path, int flags, mode_t mode) {
  if (Faulted("open", EACCES)) return -1;
  int fd;
  do {
    fd = open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t Read(int fd, void* buffer, size_t size) {
  if (Faulted("read", EIO)) return -1;
  ssize_t result;
  do {
    result = read(fd, buffer, size);
  } while (result < 0 && errno == EINTR);
  return result;
}

ssize_t Write(int fd, const void* data, size_t size) {
  if (Faulted("write", ENOSPC)) return -1;
  ssize_t result;
  do {
    result = write(fd, data, size);
  } while (result < 0 && errno == EINTR);
  return result;
}

int Fsync(int fd) {
  if (Faulted("fsync", EIO)) return -1;
  return fsync(fd);
}

int Close(int fd) {
  if (Faulted("close", EIO)) {
    close(fd);  // the descriptor is gone either way, as after a real failure
    return -1;
  }
  return close(fd);
}

int Rename(const char* from, const char* to) {
  if (const char* fault = std::getenv("VORN_TEST_IO_FAULT");
      fault && std::strcmp(fault, "crash-before-rename") == 0) {
    _exit(kCrashExitStatus);
  }
  if (Faulted("rename", EIO)) return -1;
  return std::rename(from, to);
}

int Unlink(const char* path) { return unlink(path); }

int Flock(int fd, int operation) {
  if (Faulted("flock", EIO)) return -1;
  int result;
  do {
    result = flock(fd, operation);
  } while (result < 0 && errno == EINTR);
  return result;
}

int Fstat(int fd, struct stat* info) {
  if (Faulted("fstat", EIO)) return -1;
  return fstat(fd, info);
}

int Stat(const char* path, struct stat* info) {
  if (Faulted("stat", EIO)) return -1;
  return stat(path, info);
}

}  // namespace vorn_rt::io
