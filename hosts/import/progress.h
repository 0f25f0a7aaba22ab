// The progress bar is shared with the other hosts; the importer's code and
// tests name it in their own namespace.
#pragma once

#include "hosts/common/progress.h"

namespace vorn_import {
using vorn_host::FormatProgress;
using vorn_host::ProgressBar;
using vorn_host::SteadySeconds;
}  // namespace vorn_import
