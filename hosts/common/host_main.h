// The main() of the command-line hosts vornimport and vornexport: the
// arguments, Ctrl-C and the component runtime around the host's own work.
#pragma once

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace vorn_host {

// A host's work: takes the arguments after the program name, writes to
// `out` and `err`, stops early once *stop is non-zero, and returns the exit
// status. It runs with the component runtime initialised.
using HostWork = int (*)(const std::vector<std::string>& args, FILE* out, FILE* err,
                         const volatile std::sig_atomic_t* stop);

// Catches interrupts (CatchInterrupts), initialises the component runtime,
// runs `work` over argv[1..] with stdout and stderr, and uninitialises the
// runtime. Returns work's status, or 2 after saying on stderr, prefixed by
// `program`, that the runtime could not start or memory ran out.
int HostMain(const char* program, int argc, char** argv, HostWork work);

}  // namespace vorn_host
