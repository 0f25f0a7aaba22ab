// vorn_test_thing.so: the host tests' TestThing as a self-registering
// library, so that a program that knows it only by its ProgID (node with the
// vorn addon, Python with the vorn module) creates it through the registry
// like any other object.

#include <string>

#include "platform/runtime.h"
#include "runtime/registration_writer.h"
#include "runtime/registry_key.h"
#include "runtime/server_module.h"
#include "tests/hosts/test_thing.h"

VORN_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!(clsid == vorn_test::CLSID_TestThing)) return CLASS_E_CLASSNOTAVAILABLE;
  return vorn_test::GetTestThingClassObject(riid, ppv);
}

// Its objects are counted by the tests themselves; the library stays.
VORN_EXPORT HRESULT DllCanUnloadNow() { return S_FALSE; }

// CLSID\{clsid} with InprocServer32 naming this library, and the ProgID.
VORN_EXPORT HRESULT DllRegisterServer() {
  return vorn_rt::Guarded([] {
    const std::string path =
        vorn_rt::LibraryPathOf(reinterpret_cast<const void*>(&DllRegisterServer));
    if (path.empty()) return SELFREG_E_CLASS;
    char clsid[40];
    StringFromGUID2(vorn_test::CLSID_TestThing, clsid, sizeof clsid);
    vorn_rt::RegistrationWriter writer;
    if (!writer.WriteServerClass(vorn_test::CLSID_TestThing, "TestThing", path, "Both") ||
        !writer.Write(std::string(vorn_test::kTestThingProgId) + "\\CLSID", {{"", clsid}})) {
      return SELFREG_E_CLASS;
    }
    writer.Commit();
    return S_OK;
  });
}

VORN_EXPORT HRESULT DllUnregisterServer() {
  const bool removed = vorn_rt::RemoveServerClass(vorn_test::CLSID_TestThing) &&
                       vorn_rt::RemoveRegistryTree(HKEY_CLASSES_ROOT, vorn_test::kTestThingProgId);
  return removed ? S_OK : SELFREG_E_CLASS;
}
