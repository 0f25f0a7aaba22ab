// vornexport: writes the mail of the mail store of the platform root out to
// mbox files, Maildir folders or .eml files. See RunExport for the behaviour
// and `vornexport --help` for the usage.

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "hosts/common/interrupt.h"
#include "hosts/common/status_text.h"
#include "hosts/export/exporter.h"
#include "platform/runtime.h"

int main(int argc, char** argv) {
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    const volatile std::sig_atomic_t* stop = vorn_host::CatchInterrupts();
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
      std::fprintf(stderr, "vornexport: the component runtime cannot start: %s\n",
                   vorn_host::StatusText(hr).c_str());
      return 2;
    }
    int status = vorn_export::RunExport(args, stdout, stderr, stop);
    CoUninitialize();
    return status;
  } catch (...) {
    std::fprintf(stderr, "vornexport: out of memory\n");
    return 2;
  }
}
