// Words for the statuses the store and the runtime return, for the reports
// of the command-line hosts.
#pragma once

#include <string>

#include "platform/types.h"

namespace vorn_host {

// Text for a status of the store or the runtime, e.g.
// "the disk is full or the message is too large (0x80030070)"; for a status
// without words, "status 0x...".
std::string StatusText(HRESULT status);

}  // namespace vorn_host
