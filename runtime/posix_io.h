// The system calls through which the runtime reads and writes its files, one
// thin wrapper each, so that a failure of any of them can be provoked in a
// test and followed through the code above.
//
// Each wrapper behaves as the system call it names (result and errno). When
// the environment variable VORN_TEST_IO_FAULT names the wrapper ("open",
// "read", "write", "fsync", "close", "rename", "flock", "fstat", "stat"), the
// call fails instead with the errno a real failure of it would most likely
// give (ENOSPC for write, EIO otherwise, EACCES for open). The value
// "crash-before-rename" makes Rename end the process at once with exit status
// kCrashExitStatus, as if it had been killed between writing a file and
// putting it in place. Only tests set the variable.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace vorn_rt::io {

inline constexpr int kCrashExitStatus = 86;

int Open(const char* path, int flags, mode_t mode = 0);
ssize_t Read(int fd, void* buffer, size_t size);
ssize_t Write(int fd, const void* data, size_t size);
int Fsync(int fd);
int Close(int fd);
int Rename(const char* from, const char* to);
int Unlink(const char* path);
int Flock(int fd, int operation);
int Fstat(int fd, struct stat* info);
int Stat(const char* path, struct stat* info);

}  // namespace vorn_rt::io
