// The exports of vornmime.so: its class objects and its self-registration.

#include <cstring>
#include <string>

#include "platform/loader.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "services/mime/mime_objects.h"
#include "services/mime/status.h"

namespace {

struct ClassEntry {
  const CLSID* clsid;
  const char* name;
};

constexpr ClassEntry kClasses[] = {
    {&CLSID_VornMimeMessage, "Vorn MIME Message"},
    {&CLSID_IMimeAllocator, "Vorn MIME Allocator"},
};

std::string ClassKey(const CLSID& clsid) {
  char text[39];
  StringFromGUID2(clsid, text, sizeof text);
  return std::string("CLSID\\") + text;
}

LSTATUS SetString(HKEY key, const char* name, const std::string& value) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
}

// HKEY_CLASSES_ROOT\CLSID\{clsid}: the class name, and InprocServer32 naming
// this library with the threading model "Both".
HRESULT RegisterClass(const ClassEntry& entry, const std::string& path) {
  std::string key = ClassKey(*entry.clsid);
  HKEY classKey = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE, nullptr, &classKey, nullptr) != ERROR_SUCCESS) {
    return SELFREG_E_CLASS;
  }
  HKEY serverKey = nullptr;
  bool ok = SetString(classKey, nullptr, entry.name) == ERROR_SUCCESS &&
            RegCreateKeyExA(classKey, "InprocServer32", 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_WRITE, nullptr, &serverKey, nullptr) == ERROR_SUCCESS &&
            SetString(serverKey, nullptr, path) == ERROR_SUCCESS &&
            SetString(serverKey, "ThreadingModel", "Both") == ERROR_SUCCESS;
  if (serverKey) RegCloseKey(serverKey);
  RegCloseKey(classKey);
  return ok ? S_OK : SELFREG_E_CLASS;
}

HRESULT UnregisterClass(const ClassEntry& entry) {
  LSTATUS status = RegDeleteTreeA(HKEY_CLASSES_ROOT, ClassKey(*entry.clsid).c_str());
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}

}  // namespace

VORN_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return vorn_mime::GetClassObject(clsid, riid, ppv);
}

VORN_EXPORT HRESULT DllCanUnloadNow() { return vorn_mime::CanUnloadNow() ? S_OK : S_FALSE; }

VORN_EXPORT HRESULT DllRegisterServer() {
  return vorn_mime::Guarded([] {
    HMODULE self = VornModuleFromAddress(reinterpret_cast<const void*>(&DllRegisterServer));
    char path[4096];
    DWORD length = self ? GetModuleFileNameA(self, path, sizeof path) : 0;
    if (length == 0 || length >= sizeof path) return SELFREG_E_CLASS;
    for (const ClassEntry& entry : kClasses) {
      HRESULT hr = RegisterClass(entry, std::string(path, length));
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  });
}

VORN_EXPORT HRESULT DllUnregisterServer() {
  return vorn_mime::Guarded([] {
    HRESULT result = S_OK;
    for (const ClassEntry& entry : kClasses) {
      HRESULT hr = UnregisterClass(entry);
      if (FAILED(hr)) result = hr;
    }
    return result;
  });
}
