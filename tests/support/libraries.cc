#include "tests/support/libraries.h"

#include "platform/loader.h"
#include "platform/runtime.h"

namespace vorn_test {

HRESULT RegisterLibrary(const std::string& path) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) return CO_E_DLLNOTFOUND;
  auto doRegister =
      reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(module, "DllRegisterServer"));
  return doRegister ? doRegister() : CO_E_ERRORINDLL;
}

}  // namespace vorn_test
