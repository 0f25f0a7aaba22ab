// vornimport: brings existing mail (mbox files, Maildir folders, .eml files)
// into the mail store of the platform root. See RunImport for the behaviour
// and `vornimport --help` for the usage.

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "hosts/import/importer.h"
#include "platform/runtime.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

// The first interrupt asks the import to stop after the message at hand and
// keep what it stored; the handler is reset, so a second one ends the
// program at once.
void OnInterrupt(int) { g_stop = 1; }

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    CatchInterrupts();
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
      std::fprintf(stderr, "vornimport: the component runtime cannot start: %s\n",
                   vorn_import::StatusText(hr).c_str());
      return 2;
    }
    int status = vorn_import::RunImport(args, stdout, stderr, &g_stop);
    CoUninitialize();
    return status;
  } catch (...) {
    std::fprintf(stderr, "vornimport: out of memory\n");
    return 2;
  }
}
