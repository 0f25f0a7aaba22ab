#include "services/store/module_state.h"

namespace vorn_store {

vorn_rt::ServerModule& StoreModule() {
  static vorn_rt::ServerModule module;
  return module;
}

}  // namespace vorn_store
