// What keeps the store server's library in use: live objects, references to
// its class object and server locks. DllCanUnloadNow answers from it.
#pragma once

#include "runtime/server_module.h"

namespace vorn_store {

vorn_rt::ServerModule& StoreModule();

// Held by every object the library hands out, for the object's lifetime.
class ModuleReference : public vorn_rt::ModuleObject {
 public:
  ModuleReference() : vorn_rt::ModuleObject(StoreModule()) {}
};

}  // namespace vorn_store
