// Whether a program's output reached its destination: for command-line
// programs, whose output is their result, a full disk or a closed pipe must
// not pass for success.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vorn_rt {

// Flushes `stream` and tells whether everything written to it so far
// arrived. When not, writes "<program>: cannot write to <what>[: reason]"
// as one line on `report` (the reason when the flush itself tells it).
inline bool FinishOutput(FILE* stream, const char* program, const char* what, FILE* report) {
  errno = 0;
  const bool flushed = std::fflush(stream) == 0;
  if (flushed && !std::ferror(stream)) return true;
  const int error = flushed ? 0 : errno;
  std::fprintf(report, "%s: cannot write to %s%s%s\n", program, what, error != 0 ? ": " : "",
               error != 0 ? std::strerror(error) : "");
  std::fflush(report);
  return false;
}

}  // namespace vorn_rt
