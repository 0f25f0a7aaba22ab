// FaultIo: file system calls that fail when a test says so.
//
// For as long as a FaultIo lives, the runtime's file calls (runtime/posix_io.h)
// go through it: each call runs as the system's own until the test arms a
// fault for it, and then fails with the errno a real failure of it would most
// likely give (EACCES for open, ENOSPC for write, EIO for every other call).
// A failing close still closes the descriptor, as a real one does.
//
// One FaultIo at a time; it is not meant to be armed while other threads use
// the file calls.
#pragma once

#include <string_view>

namespace vorn_test {

class FaultIo {
 public:
  // The exit status of a process ended by CrashBeforeRename.
  static constexpr int kCrashExitStatus = 86;

  FaultIo();
  ~FaultIo();  // puts back the table that was in use before
  FaultIo(const FaultIo&) = delete;
  FaultIo& operator=(const FaultIo&) = delete;

  // Every later call named `call` fails: "open", "read", "write", "fsync",
  // "close", "rename", "unlink", "flock", "fstat" or "stat". Replaces the
  // fault armed before. Throws std::invalid_argument for any other name, so
  // that a misspelt one cannot leave a test without its fault.
  void Fail(std::string_view call);

  // The next rename ends the process at once (_exit) with kCrashExitStatus,
  // as if it had been killed between writing a file and putting it in place.
  void CrashBeforeRename();

  // No call fails any more.
  void Clear();
};

}  // namespace vorn_test
