// The file system calls through which the runtime reads and writes its files.
//
// Each wrapper behaves as the system call it names (result and errno), with
// EINTR retried where the call can be interrupted. The calls go through one
// table of functions; a program can put a table of its own in place (tests
// do, to make any call fail and follow the failure through the code above)
// with UseFileCalls. Nothing else changes which table is used.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

#include "platform/types.h"

namespace vorn_rt::io {

struct FileCalls {
  int (*Open)(const char* path, int flags, mode_t mode);
  ssize_t (*Read)(int fd, void* buffer, size_t size);
  ssize_t (*Write)(int fd, const void* data, size_t size);
  int (*Fsync)(int fd);
  int (*Close)(int fd);
  int (*Rename)(const char* from, const char* to);
  int (*Unlink)(const char* path);
  int (*Flock)(int fd, int operation);
  int (*Fstat)(int fd, struct stat* info);
  int (*Stat)(const char* path, struct stat* info);
};

// The system's own calls, the table in use until UseFileCalls changes it.
VORN_API const FileCalls& SystemFileCalls();

// Makes `calls` the table every thread uses from now on and returns the one
// it replaces. The table is not copied: it must stay alive, unchanged, until
// another replaces it. Every member must be set.
VORN_API const FileCalls& UseFileCalls(const FileCalls& calls);

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
