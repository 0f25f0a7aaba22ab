// Runs a built program as a child process with the given arguments and
// standard input, and collects its exit status and both output streams.
#pragma once

#include <string>
#include <vector>

namespace vorn_test {

struct ProgramResult {
  int status = -1;  // the exit status; 128 + N after signal N
  std::string out;
  std::string err;
};

// Runs `program` (a path) with `args`, feeding it `input`; the child's
// environment is this process's, so it sees the current VORN_ROOT. Gives up
// and kills the child after `timeoutSeconds`.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& input = std::string(), int timeoutSeconds = 60);

}  // namespace vorn_test
