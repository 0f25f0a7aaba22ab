// What keeps the store server's library in use: live objects and server
// locks. DllCanUnloadNow answers from it.
#pragma once

namespace vorn_store {

void LockModule();
void UnlockModule();
bool ModuleInUse();

// Held by every object the library hands out, for the object's lifetime.
class ModuleReference {
 public:
  ModuleReference() { LockModule(); }
  ~ModuleReference() { UnlockModule(); }
  ModuleReference(const ModuleReference&) = delete;
  ModuleReference& operator=(const ModuleReference&) = delete;
};

}  // namespace vorn_store
