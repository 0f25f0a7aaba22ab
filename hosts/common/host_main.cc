#include "hosts/common/host_main.h"

#include "hosts/common/interrupt.h"
#include "hosts/common/status_text.h"
#include "platform/runtime.h"

namespace vorn_host {

int HostMain(const char* program, int argc, char** argv, HostWork work) {
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    const volatile std::sig_atomic_t* stop = CatchInterrupts();
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
      std::fprintf(stderr, "%s: the component runtime cannot start: %s\n", program,
                   StatusText(hr).c_str());
      return 2;
    }
    int status = work(args, stdout, stderr, stop);
    CoUninitialize();
    return status;
  } catch (...) {
    std::fprintf(stderr, "%s: out of memory\n", program);
    return 2;
  }
}

}  // namespace vorn_host
