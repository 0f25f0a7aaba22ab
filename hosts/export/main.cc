// vornexport: writes the mail of the mail store of the platform root out to
// mbox files, Maildir folders or .eml files. See RunExport for the behaviour
// and `vornexport --help` for the usage.

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "hosts/common/status_text.h"
#include "hosts/export/exporter.h"
#include "platform/runtime.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

// The first interrupt asks the export to stop after the message at hand and
// leave what it wrote ready to be completed; the handler is reset, so a
// second one ends the program at once.
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
      std::fprintf(stderr, "vornexport: the component runtime cannot start: %s\n",
                   vorn_host::StatusText(hr).c_str());
      return 2;
    }
    int status = vorn_export::RunExport(args, stdout, stderr, &g_stop);
    CoUninitialize();
    return status;
  } catch (...) {
    std::fprintf(stderr, "vornexport: out of memory\n");
    return 2;
  }
}
