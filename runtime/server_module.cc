#include "runtime/server_module.h"

#include "platform/loader.h"

namespace vorn_rt {

std::string LibraryPathOf(const void* address) {
  try {
    HMODULE module = VornModuleFromAddress(address);
    if (!module) return std::string();
    std::string path(1024, '\0');
    for (;;) {
      const DWORD length =
          GetModuleFileNameA(module, path.data(), static_cast<DWORD>(path.size()));
      if (length == 0) return std::string();
      if (length < path.size()) {
        path.resize(length);
        return path;
      }
      if (path.size() >= (1u << 20)) return std::string();
      path.resize(path.size() * 2);
    }
  } catch (...) {
    return std::string();
  }
}

}  // namespace vorn_rt
