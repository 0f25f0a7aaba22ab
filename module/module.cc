// VORNOUTLOOKEXPRESS.OCX: the module object, the two class factories and
// the four exported entry points.

#include <atomic>
#include <string>

#include "control/identifiers.h"
#include "control/module_state.h"
#include "control/vornoutlookexpressctrl.h"
#include "control/vornoutlookexpressppg.h"
#include "module/registration.h"
#include "platform/loader.h"
#include "platform/runtime.h"
#include "runtime/control_module.h"
#include "runtime/unknown_impl.h"

namespace {

// The module object. It has no application name; its start-up and shut-down
// are the framework's.
class CVornOutlookExpressApp final : public ControlModule {
 public:
  CVornOutlookExpressApp() : ControlModule(nullptr) {}
  BOOL InitInstance() override { return ControlModule::InitInstance(); }
  int ExitInstance() override { return ControlModule::ExitInstance(); }
};

typedef HRESULT (*CreateFunction)(IUnknown* outer, REFIID riid, void** ppv);

// A class factory in static storage, serving any number of objects. Its
// references and locks count as uses of the module.
class ObjectFactory final : public IClassFactory {
 public:
  ObjectFactory(REFCLSID clsid, CreateFunction create) : clsid_(clsid), create_(create) {}
  ObjectFactory(const ObjectFactory&) = delete;
  ObjectFactory& operator=(const ObjectFactory&) = delete;

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<IClassFactory>(this, riid, ppv);
  }
  ULONG AddRef() override {
    ModuleAddRef();
    return ++refs_;
  }
  ULONG Release() override {
    const ULONG left = --refs_;
    ModuleRelease();
    return left;
  }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    try {
      return create_(outer, riid, ppv);
    } catch (...) {
      if (ppv) *ppv = nullptr;
      return E_OUTOFMEMORY;
    }
  }
  HRESULT LockServer(BOOL lock) override {
    if (lock) {
      ModuleAddRef();
    } else {
      ModuleRelease();
    }
    return S_OK;
  }
  const CLSID& clsid() const { return clsid_; }

 private:
  CLSID clsid_;
  CreateFunction create_;
  std::atomic<ULONG> refs_{0};
};

// Constructed in this order when the module is loaded, destroyed in reverse.
CVornOutlookExpressApp theApp;
ObjectFactory controlFactory(CLSID_VornOutlookExpress, &CVornOutlookExpressCtrl::Create);
ObjectFactory propPageFactory(CLSID_VornOutlookExpressPropPage,
                              &CVornOutlookExpressPropPage::Create);
const ControlModuleStartup startup(theApp);

// The full path of this module, as registered.
std::string ModulePath() {
  char path[4096];
  const DWORD n = GetModuleFileNameA(VornModuleFromAddress(&theApp), path, sizeof path);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

}  // namespace

VORN_EXPORT HRESULT DllRegisterServer() {
  try {
    const std::string path = ModulePath();
    if (path.empty()) return SELFREG_E_TYPELIB;
    if (FAILED(RegisterModuleTypeLib(path))) return SELFREG_E_TYPELIB;
    if (FAILED(RegisterControlClass(path)) || FAILED(RegisterPropPageClass(path))) {
      return SELFREG_E_CLASS;
    }
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

VORN_EXPORT HRESULT DllUnregisterServer() {
  try {
    if (FAILED(UnregisterModuleTypeLib())) return SELFREG_E_TYPELIB;
    if (FAILED(UnregisterControlClass()) || FAILED(UnregisterPropPageClass())) {
      return SELFREG_E_CLASS;
    }
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

VORN_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!theApp.started()) return CLASS_E_CLASSNOTAVAILABLE;
  for (ObjectFactory* factory : {&controlFactory, &propPageFactory}) {
    if (factory->clsid() == clsid) return factory->QueryInterface(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

VORN_EXPORT HRESULT DllCanUnloadNow() { return ModuleUsage() == 0 ? S_OK : S_FALSE; }
