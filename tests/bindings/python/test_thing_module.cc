// vorn_testthing.so: the hosts' test object as a self-registering library,
// so that a program that knows it only by its ProgID (the Python binding's
// tests) creates it through the registry like any other object.

#include <string>

#include "platform/loader.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "tests/hosts/test_thing.h"

namespace {

std::string ClassKey() {
  char text[39];
  StringFromGUID2(vorn_test::CLSID_TestThing, text, sizeof text);
  return std::string("CLSID\\") + text;
}

bool SetDefault(const std::string& key, const std::string& value) {
  HKEY handle = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE, nullptr, &handle, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const bool ok = RegSetValueExA(handle, nullptr, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
  RegCloseKey(handle);
  return ok;
}

}  // namespace

VORN_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!(clsid == vorn_test::CLSID_TestThing)) return CLASS_E_CLASSNOTAVAILABLE;
  return vorn_test::GetTestThingClassObject(riid, ppv);
}

VORN_EXPORT HRESULT DllCanUnloadNow() { return S_FALSE; }

// CLSID\{clsid}\InprocServer32 naming this library, and the ProgID.
VORN_EXPORT HRESULT DllRegisterServer() {
  HMODULE self = VornModuleFromAddress(reinterpret_cast<const void*>(&DllRegisterServer));
  char path[4096];
  const DWORD length = self ? GetModuleFileNameA(self, path, sizeof path) : 0;
  if (length == 0 || length >= sizeof path) return SELFREG_E_CLASS;
  char clsid[39];
  StringFromGUID2(vorn_test::CLSID_TestThing, clsid, sizeof clsid);
  const bool ok = SetDefault(ClassKey(), "Test thing") &&
                  SetDefault(ClassKey() + "\\InprocServer32", std::string(path, length)) &&
                  SetDefault(std::string(vorn_test::kTestThingProgId) + "\\CLSID", clsid);
  return ok ? S_OK : SELFREG_E_CLASS;
}

VORN_EXPORT HRESULT DllUnregisterServer() {
  RegDeleteTreeA(HKEY_CLASSES_ROOT, ClassKey().c_str());
  RegDeleteTreeA(HKEY_CLASSES_ROOT, vorn_test::kTestThingProgId);
  return S_OK;
}
