// Thin wrappers over the file system calls, through a replaceable table.

#include "runtime/posix_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace vorn_rt::io {
namespace {

int SystemOpen(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t SystemRead(int fd, void* buffer, size_t size) {
  ssize_t result;
  do {
    result = read(fd, buffer, size);
  } while (result < 0 && errno == EINTR);
  return result;
}

ssize_t SystemWrite(int fd, const void* data, size_t size) {
  ssize_t result;
  do {
    result = write(fd, data, size);
  } while (result < 0 && errno == EINTR);
  return result;
}

int SystemFsync(int fd) { return fsync(fd); }
int SystemClose(int fd) { return close(fd); }
int SystemRename(const char* from, const char* to) { return std::rename(from, to); }
int SystemUnlink(const char* path) { return unlink(path); }

int SystemFlock(int fd, int operation) {
  int result;
  do {
    result = flock(fd, operation);
  } while (result < 0 && errno == EINTR);
  return result;
}

int SystemFstat(int fd, struct stat* info) { return fstat(fd, info); }
int SystemStat(const char* path, struct stat* info) { return stat(path, info); }

constexpr FileCalls kSystemCalls = {
    SystemOpen,   SystemRead,   SystemWrite, SystemFsync, SystemClose,
    SystemRename, SystemUnlink, SystemFlock, SystemFstat, SystemStat,
};

std::atomic<const FileCalls*> current{&kSystemCalls};

const FileCalls& Calls() { return *current.load(std::memory_order_acquire); }

}  // namespace

const FileCalls& SystemFileCalls() { return kSystemCalls; }

const FileCalls& UseFileCalls(const FileCalls& calls) {
  return *current.exchange(&calls, std::memory_order_acq_rel);
}

int Open(const char* path, int flags, mode_t mode) { return Calls().Open(path, flags, mode); }
ssize_t Read(int fd, void* buffer, size_t size) { return Calls().Read(fd, buffer, size); }
ssize_t Write(int fd, const void* data, size_t size) { return Calls().Write(fd, data, size); }
int Fsync(int fd) { return Calls().Fsync(fd); }
int Close(int fd) { return Calls().Close(fd); }
int Rename(const char* from, const char* to) { return Calls().Rename(from, to); }
int Unlink(const char* path) { return Calls().Unlink(path); }
int Flock(int fd, int operation) { return Calls().Flock(fd, operation); }
int Fstat(int fd, struct stat* info) { return Calls().Fstat(fd, info); }
int Stat(const char* path, struct stat* info) { return Calls().Stat(path, info); }

}  // namespace vorn_rt::io
