// The IMAP store server library's entry points: its class object, whether it can
// be unloaded, and its registration under the store's class identifier.

#include <string>

#include "platform/loader.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "platform/store.h"
#include "runtime/unknown_impl.h"
#include "services/imap/imap_objects.h"
#include "services/store/module_state.h"

namespace vorn_imap {
namespace {

using vorn_store::LockModule;
using vorn_store::UnlockModule;

constexpr const char* kClassName = "Vorn Mail Store on IMAP";
constexpr const char* kThreadingModel = "Both";

// The one class object of the library. Its references do not keep the
// library in use (a runtime may cache it); LockServer does.
class ImapClassFactory final : public IClassFactory {
 public:
  // The references QueryInterface adds are the uncounted ones of AddRef.
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<IClassFactory>(this, riid, ppv);
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }

  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return CreateImapNamespace(riid, ppv);
  }

  HRESULT LockServer(BOOL lock) override {
    if (lock) {
      LockModule();
    } else {
      UnlockModule();
    }
    return S_OK;
  }
};

ImapClassFactory g_factory;

std::string ClassKey() {
  char text[40] = {};
  StringFromGUID2(CLSID_StoreNamespace, text, sizeof(text));
  return std::string("CLSID\\") + text;
}

bool SetString(HKEY key, LPCSTR name, const std::string& value) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

HRESULT Register() {
  char path[4096] = {};
  HMODULE self = VornModuleFromAddress(reinterpret_cast<const void*>(&Register));
  DWORD length = self ? GetModuleFileNameA(self, path, sizeof(path)) : 0;
  if (length == 0 || length >= sizeof(path)) return SELFREG_E_CLASS;

  HKEY classKey = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, ClassKey().c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &classKey, nullptr) != ERROR_SUCCESS) {
    return SELFREG_E_CLASS;
  }
  bool ok = SetString(classKey, "", kClassName);
  HKEY serverKey = nullptr;
  if (ok && RegCreateKeyExA(classKey, "InprocServer32", 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &serverKey, nullptr) == ERROR_SUCCESS) {
    ok = SetString(serverKey, "", std::string(path, length)) &&
         SetString(serverKey, "ThreadingModel", kThreadingModel);
    RegCloseKey(serverKey);
  } else {
    ok = false;
  }
  RegCloseKey(classKey);
  return ok ? S_OK : SELFREG_E_CLASS;
}

HRESULT Unregister() {
  LSTATUS status = RegDeleteTreeA(HKEY_CLASSES_ROOT, ClassKey().c_str());
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}

}  // namespace

}  // namespace vorn_imap

VORN_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!(clsid == CLSID_StoreNamespace)) return CLASS_E_CLASSNOTAVAILABLE;
  return vorn_imap::g_factory.QueryInterface(riid, ppv);
}

VORN_EXPORT HRESULT DllCanUnloadNow() {
  return vorn_store::ModuleInUse() ? S_FALSE : S_OK;
}

VORN_EXPORT HRESULT DllRegisterServer() {
  try {
    return vorn_imap::Register();
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}

VORN_EXPORT HRESULT DllUnregisterServer() {
  try {
    return vorn_imap::Unregister();
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}
