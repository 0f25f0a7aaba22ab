#include "control/module_state.h"

vorn_rt::ServerModule& ControlServerModule() {
  static vorn_rt::ServerModule module;
  return module;
}
