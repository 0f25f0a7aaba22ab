// The IMAP store server library's entry points: its class object, whether it
// can be unloaded, and its registration under the store's class identifier,
// in place of the local store's library.

#include "platform/runtime.h"
#include "platform/store.h"
#include "runtime/registration_writer.h"
#include "runtime/server_module.h"
#include "services/imap/imap_objects.h"
#include "services/store/module_state.h"

namespace {

// The store's helpers this library shares count its objects in their module,
// which in this library is this library's own.
vorn_rt::ClassFactory g_factory(vorn_store::StoreModule(), CLSID_StoreNamespace,
                                &vorn_imap::CreateImapNamespace);

}  // namespace

VORN_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return vorn_rt::GetClassObjectFrom({&g_factory}, clsid, riid, ppv);
}

VORN_EXPORT HRESULT DllCanUnloadNow() { return vorn_store::StoreModule().CanUnloadNow(); }

// HKEY_CLASSES_ROOT\CLSID\{store}: the class name, and InprocServer32 naming
// this library with the threading model "Both". Registering the local
// store's library again puts it back.
VORN_EXPORT HRESULT DllRegisterServer() {
  return vorn_rt::RegisterOwnServerClasses({{&CLSID_StoreNamespace, "Vorn Mail Store on IMAP"}},
                                           reinterpret_cast<const void*>(&DllRegisterServer));
}

VORN_EXPORT HRESULT DllUnregisterServer() {
  return vorn_rt::RemoveServerClass(CLSID_StoreNamespace) ? S_OK : SELFREG_E_CLASS;
}
