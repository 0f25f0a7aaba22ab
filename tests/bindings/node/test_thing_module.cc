// vorn_test_thing.so: the host tests' TestThing as a self-registering
// library, so that a program that knows nothing of the tests (node with the
// vorn addon) creates it by its ProgID through the registry.

#include <string>

#include "platform/loader.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "tests/hosts/test_thing.h"

namespace {

LSTATUS SetString(HKEY key, const char* name, const std::string& value) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
}

// Creates `path` under HKEY_CLASSES_ROOT and sets its default value.
bool SetKey(const std::string& path, const std::string& value, HKEY* out = nullptr) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const bool ok = SetString(key, nullptr, value) == ERROR_SUCCESS;
  if (out && ok) {
    *out = key;
  } else {
    RegCloseKey(key);
  }
  return ok;
}

std::string ClassId() {
  char text[39];
  StringFromGUID2(vorn_test::CLSID_TestThing, text, sizeof text);
  return text;
}

}  // namespace

VORN_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!(clsid == vorn_test::CLSID_TestThing)) return CLASS_E_CLASSNOTAVAILABLE;
  return vorn_test::GetTestThingClassObject(riid, ppv);
}

VORN_EXPORT HRESULT DllCanUnloadNow() { return S_FALSE; }

VORN_EXPORT HRESULT DllRegisterServer() {
  HMODULE self = VornModuleFromAddress(reinterpret_cast<const void*>(&DllRegisterServer));
  char path[4096];
  const DWORD length = self ? GetModuleFileNameA(self, path, sizeof path) : 0;
  if (length == 0 || length >= sizeof path) return SELFREG_E_CLASS;
  const std::string clsid = ClassId();
  HKEY server = nullptr;
  bool ok = SetKey("CLSID\\" + clsid, "TestThing") &&
            SetKey("CLSID\\" + clsid + "\\InprocServer32", std::string(path, length), &server);
  if (server) {
    ok = SetString(server, "ThreadingModel", "Both") == ERROR_SUCCESS;
    RegCloseKey(server);
  }
  ok = ok && SetKey(std::string(vorn_test::kTestThingProgId) + "\\CLSID", clsid);
  return ok ? S_OK : SELFREG_E_CLASS;
}

VORN_EXPORT HRESULT DllUnregisterServer() {
  RegDeleteTreeA(HKEY_CLASSES_ROOT, ("CLSID\\" + ClassId()).c_str());
  RegDeleteTreeA(HKEY_CLASSES_ROOT, vorn_test::kTestThingProgId);
  return S_OK;
}
