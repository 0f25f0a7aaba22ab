// vornimport: brings existing mail (mbox files, Maildir folders, .eml files)
// into the mail store of the platform root. See RunImport for the behaviour
// and `vornimport --help` for the usage.

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "hosts/common/interrupt.h"
#include "hosts/import/importer.h"
#include "platform/runtime.h"

int main(int argc, char** argv) {
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    const volatile std::sig_atomic_t* stop = vorn_host::CatchInterrupts();
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
      std::fprintf(stderr, "vornimport: the component runtime cannot start: %s\n",
                   vorn_import::StatusText(hr).c_str());
      return 2;
    }
    int status = vorn_import::RunImport(args, stdout, stderr, stop);
    CoUninitialize();
    return status;
  } catch (...) {
    std::fprintf(stderr, "vornimport: out of memory\n");
    return 2;
  }
}
