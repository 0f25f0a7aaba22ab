// The built libraries as the tests load them.
#pragma once

#include <string>

#include "platform/types.h"

namespace vorn_test {

// Loads the built library at `path` and runs its DllRegisterServer in the
// current root.
HRESULT RegisterLibrary(const std::string& path);

}  // namespace vorn_test
