// VORNOUTLOOKEXPRESS.OCX: the module object, the two class factories and
// the four exported entry points.

#include <string>

#include "control/identifiers.h"
#include "control/module_state.h"
#include "control/vornoutlookexpressctrl.h"
#include "control/vornoutlookexpressppg.h"
#include "module/registration.h"
#include "platform/runtime.h"
#include "runtime/control_module.h"
#include "runtime/server_module.h"

namespace {

// The module object. It has no application name; its start-up and shut-down
// are the framework's.
class CVornOutlookExpressApp final : public ControlModule {
 public:
  CVornOutlookExpressApp() : ControlModule(nullptr) {}
  BOOL InitInstance() override { return ControlModule::InitInstance(); }
  int ExitInstance() override { return ControlModule::ExitInstance(); }
};

// Constructed in this order when the module is loaded, destroyed in reverse.
CVornOutlookExpressApp theApp;
vorn_rt::ClassFactory controlFactory(ControlServerModule(), CLSID_VornOutlookExpress,
                                     [](REFIID riid, void** ppv) {
                                       return CVornOutlookExpressCtrl::Create(nullptr, riid, ppv);
                                     });
vorn_rt::ClassFactory propPageFactory(ControlServerModule(), CLSID_VornOutlookExpressPropPage,
                                      [](REFIID riid, void** ppv) {
                                        return CVornOutlookExpressPropPage::Create(nullptr, riid,
                                                                                   ppv);
                                      });
const ControlModuleStartup startup(theApp);

}  // namespace

VORN_EXPORT HRESULT DllRegisterServer() {
  return vorn_rt::Guarded([] {
    const std::string path = vorn_rt::LibraryPathOf(&theApp);
    if (path.empty()) return SELFREG_E_TYPELIB;
    if (FAILED(RegisterModuleTypeLib(path))) return SELFREG_E_TYPELIB;
    if (FAILED(RegisterControlClass(path)) || FAILED(RegisterPropPageClass(path))) {
      return SELFREG_E_CLASS;
    }
    return S_OK;
  });
}

VORN_EXPORT HRESULT DllUnregisterServer() {
  return vorn_rt::Guarded([] {
    if (FAILED(UnregisterModuleTypeLib())) return SELFREG_E_TYPELIB;
    if (FAILED(UnregisterControlClass()) || FAILED(UnregisterPropPageClass())) {
      return SELFREG_E_CLASS;
    }
    return S_OK;
  });
}

VORN_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv && !theApp.started()) {
    *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  return vorn_rt::GetClassObjectFrom({&controlFactory, &propPageFactory}, clsid, riid, ppv);
}

VORN_EXPORT HRESULT DllCanUnloadNow() { return ControlServerModule().CanUnloadNow(); }
