// Ctrl-C and SIGTERM for the command-line hosts, which work through many
// messages and can stop between two of them.
#pragma once

#include <csignal>

namespace vorn_host {

// Installs handlers for SIGINT and SIGTERM and returns the flag they set.
// The flag stays 0 until the first interrupt, which sets it to 1 and asks
// the work to stop after the item at hand; that handler is then reset, so a
// second interrupt ends the program at once. The flag lives as long as the
// program.
const volatile std::sig_atomic_t* CatchInterrupts();

}  // namespace vorn_host
