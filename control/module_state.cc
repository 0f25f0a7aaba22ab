#include "control/module_state.h"

#include <atomic>

namespace {
std::atomic<LONG> usage{0};
}  // namespace

void ModuleAddRef() { ++usage; }
void ModuleRelease() { --usage; }
LONG ModuleUsage() { return usage.load(); }
