#include "tests/support/fault_io.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <utility>

#include "runtime/posix_io.h"

namespace vorn_test {
namespace {

enum class Call { kNone, kOpen, kRead, kWrite, kFsync, kClose, kRename, kUnlink, kFlock,
                  kFstat, kStat, kCrashBeforeRename };

std::atomic<Call> armed{Call::kNone};
const vorn_rt::io::FileCalls* previous = nullptr;

const vorn_rt::io::FileCalls& System() { return vorn_rt::io::SystemFileCalls(); }

bool Fails(Call call, int error) {
  if (armed.load() != call) return false;
  errno = error;
  return true;
}

int Open(const char* path, int flags, mode_t mode) {
  return Fails(Call::kOpen, EACCES) ? -1 : System().Open(path, flags, mode);
}
ssize_t Read(int fd, void* buffer, size_t size) {
  return Fails(Call::kRead, EIO) ? -1 : System().Read(fd, buffer, size);
}
ssize_t Write(int fd, const void* data, size_t size) {
  return Fails(Call::kWrite, ENOSPC) ? -1 : System().Write(fd, data, size);
}
int Fsync(int fd) { return Fails(Call::kFsync, EIO) ? -1 : System().Fsync(fd); }
int Close(int fd) {
  if (Fails(Call::kClose, EIO)) {
    System().Close(fd);
    errno = EIO;
    return -1;
  }
  return System().Close(fd);
}
int Rename(const char* from, const char* to) {
  if (armed.load() == Call::kCrashBeforeRename) _exit(FaultIo::kCrashExitStatus);
  return Fails(Call::kRename, EIO) ? -1 : System().Rename(from, to);
}
int Unlink(const char* path) { return Fails(Call::kUnlink, EIO) ? -1 : System().Unlink(path); }
int Flock(int fd, int operation) {
  return Fails(Call::kFlock, EIO) ? -1 : System().Flock(fd, operation);
}
int Fstat(int fd, struct stat* info) {
  return Fails(Call::kFstat, EIO) ? -1 : System().Fstat(fd, info);
}
int Stat(const char* path, struct stat* info) {
  return Fails(Call::kStat, EIO) ? -1 : System().Stat(path, info);
}

constexpr vorn_rt::io::FileCalls kFaultyCalls = {Open,   Read,   Write, Fsync, Close,
                                                 Rename, Unlink, Flock, Fstat, Stat};

}  // namespace

FaultIo::FaultIo() {
  armed = Call::kNone;
  previous = &vorn_rt::io::UseFileCalls(kFaultyCalls);
}

FaultIo::~FaultIo() {
  vorn_rt::io::UseFileCalls(*previous);
  armed = Call::kNone;
}

void FaultIo::Fail(std::string_view call) {
  static constexpr std::pair<std::string_view, Call> kNames[] = {
      {"open", Call::kOpen},     {"read", Call::kRead},     {"write", Call::kWrite},
      {"fsync", Call::kFsync},   {"close", Call::kClose},   {"rename", Call::kRename},
      {"unlink", Call::kUnlink}, {"flock", Call::kFlock},   {"fstat", Call::kFstat},
      {"stat", Call::kStat},
  };
  for (const auto& [name, value] : kNames) {
    if (name == call) {
      armed = value;
      return;
    }
  }
  throw std::invalid_argument("no file call is named \"" + std::string(call) + "\"");
}

void FaultIo::CrashBeforeRename() { armed = Call::kCrashBeforeRename; }

void FaultIo::Clear() { armed = Call::kNone; }

}  // namespace vorn_test
