// The platform's root folder, for the runtime's own use.
#pragma once

#include <string>

namespace vorn_rt {

// The registry's file in the root.
constexpr char kRegistryFileName[] = "/registry.reg";

// VORN_ROOT when set, otherwise ${XDG_DATA_HOME:-$HOME/.local/share}/vorn,
// without a trailing slash. Created with its parents when missing. Empty when
// no root can be named or created. Reads the environment on every call.
std::string RootPath();

}  // namespace vorn_rt
