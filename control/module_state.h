// The count of everything that keeps the control module's code in use: live
// objects made by the module, references to its class factories and their
// locks. The module may be unloaded when nothing is counted.
#pragma once

#include "runtime/server_module.h"

vorn_rt::ServerModule& ControlServerModule();

// Counts an object for as long as it lives; a member of every object class of
// the module.
class ModuleUsageToken : public vorn_rt::ModuleObject {
 public:
  ModuleUsageToken() : vorn_rt::ModuleObject(ControlServerModule()) {}
};
