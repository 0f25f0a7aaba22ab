#include "services/store/module_state.h"

#include <atomic>

namespace vorn_store {
namespace {

std::atomic<long> g_moduleLocks{0};

}  // namespace

void LockModule() { ++g_moduleLocks; }
void UnlockModule() { --g_moduleLocks; }
bool ModuleInUse() { return g_moduleLocks.load() > 0; }

}  // namespace vorn_store
