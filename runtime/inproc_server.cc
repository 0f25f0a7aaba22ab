// Activation through the registry, and ProgIDs.

#include "runtime/inproc_server.h"

#include <map>
#include <mutex>
#include <string>

#include "platform/failure_reason.h"
#include "platform/loader.h"
#include "platform/registry.h"
#include "runtime/registry_key.h"
#include "runtime/root_path.h"

namespace vorn_rt {
namespace {

// Reads the default string value of `path` under HKEY_CLASSES_ROOT into
// *text. Returns the registry's status; ERROR_INVALID_DATA for a value that
// is not a string.
LONG ReadClassesString(const std::string& path, std::string* text) {
  return ReadRegistryString(HKEY_CLASSES_ROOT, path, nullptr, text);
}

struct ServerTable {
  std::mutex mutex;
  std::map<std::string, HMODULE> loaded;  // by registered path
};

ServerTable& Servers() {
  static ServerTable* table = new ServerTable;
  return *table;
}

// The registry file of the platform root, for reasons that name it.
std::string RegistryFile() {
  const std::string root = RootPath();
  return root.empty() ? std::string("the registry") : root + kRegistryFileName;
}

void SetReason(const std::string& text) { VornSetFailureReason(text.c_str()); }

HMODULE LoadServer(const std::string& path) {
  ServerTable& table = Servers();
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.loaded.find(path);
    if (it != table.loaded.end()) return it->second;
  }
  // Loading runs the library's initialisers, which may create objects in
  // turn, so the table is not locked meanwhile.
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) return nullptr;
  std::lock_guard<std::mutex> lock(table.mutex);
  auto inserted = table.loaded.emplace(path, module);
  if (!inserted.second) FreeLibrary(module);  // another thread got there first
  return inserted.first->second;
}

}  // namespace

HRESULT GetServerClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  *ppv = nullptr;
  char clsidText[39];
  StringFromGUID2(clsid, clsidText, sizeof(clsidText));
  std::string path;
  const LONG status =
      ReadClassesString(std::string("CLSID\\") + clsidText + "\\InprocServer32", &path);
  if (status == ERROR_FILE_NOT_FOUND || (status == ERROR_SUCCESS && path.empty())) {
    SetReason(std::string("the class ") + clsidText + " is not registered in " + RegistryFile() +
              "; register its library with vornreg");
    return REGDB_E_CLASSNOTREG;
  }
  if (status != ERROR_SUCCESS) {
    SetReason("the registry " + RegistryFile() + " cannot be read");
    return REGDB_E_READREGDB;
  }
  HMODULE module = LoadServer(path);
  if (!module) {
    SetReason("the library " + path + " registered for the class " + clsidText +
              " cannot be loaded");
    return CO_E_DLLNOTFOUND;
  }
  auto getClassObject =
      reinterpret_cast<LPFNGETCLASSOBJECT>(GetProcAddress(module, "DllGetClassObject"));
  if (!getClassObject) {
    SetReason("the library " + path + " registered for the class " + clsidText +
              " is not a component library");
    return CO_E_ERRORINDLL;
  }
  const HRESULT hr = getClassObject(clsid, riid, ppv);
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

}  // namespace vorn_rt

HRESULT CLSIDFromProgID(LPCSTR progId, LPCLSID clsid) {
  if (!progId || !clsid) return E_INVALIDARG;
  if (progId[0] == '{') return CLSIDFromString(progId, clsid);
  try {
    const std::string name(progId);
    if (name.empty() || name.find('\\') != std::string::npos) return CO_E_CLASSSTRING;
    std::string text;
    const LONG status = vorn_rt::ReadClassesString(name + "\\CLSID", &text);
    if (status == ERROR_BADDB || status == ERROR_CANTREAD || status == ERROR_CANTOPEN) {
      return REGDB_E_READREGDB;
    }
    if (status != ERROR_SUCCESS) return CO_E_CLASSSTRING;
    return CLSIDFromString(text.c_str(), clsid);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
