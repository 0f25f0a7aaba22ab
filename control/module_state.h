// The count of everything that keeps the control module's code in use: live
// objects made by the module and class-factory locks. The module may be
// unloaded when it is 0.
#pragma once

#include "platform/types.h"

void ModuleAddRef();
void ModuleRelease();
LONG ModuleUsage();

// Counts an object for as long as it lives; a member or base of every object
// class of the module.
class ModuleUsageToken {
 public:
  ModuleUsageToken() { ModuleAddRef(); }
  ~ModuleUsageToken() { ModuleRelease(); }
  ModuleUsageToken(const ModuleUsageToken&) = delete;
  ModuleUsageToken& operator=(const ModuleUsageToken&) = delete;
};
