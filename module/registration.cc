#include "module/registration.h"

#include <string>
#include <vector>

#include "control/identifiers.h"
#include "control/resources.h"
#include "platform/codepage.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "platform/typelib.h"
#include "runtime/com_ptr.h"

namespace {

std::string GuidText(REFGUID guid) {
  char text[40];
  StringFromGUID2(guid, text, sizeof text);
  return text;
}

std::u16string Wide(const std::string& text) {
  std::u16string wide(text.size() + 1, u'\0');
  const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(),
                                    static_cast<int>(wide.size()));
  wide.resize(n > 0 ? static_cast<size_t>(n) : 1);
  return wide;
}

// Writes keys under HKEY_CLASSES_ROOT; unless Keep() is called, removes the
// keys it created when it ends.
class ClassKeys {
 public:
  ~ClassKeys() {
    if (keep_) return;
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
      RegDeleteTreeA(HKEY_CLASSES_ROOT, it->c_str());
    }
  }
  void Keep() { keep_ = true; }

  // Creates `path` and sets the named values given (name "" is the default
  // value); false at the first failure.
  bool Write(const std::string& path,
             std::initializer_list<std::pair<const char*, std::string>> values = {}) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &key, &disposition) != ERROR_SUCCESS) {
      return false;
    }
    if (disposition == REG_CREATED_NEW_KEY) created_.push_back(path);
    bool ok = true;
    for (const auto& [name, value] : values) {
      ok = ok && RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return ok;
  }

 private:
  std::vector<std::string> created_;
  bool keep_ = false;
};

bool DeleteTree(const std::string& path) {
  const LSTATUS status = RegDeleteTreeA(HKEY_CLASSES_ROOT, path.c_str());
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

// The CLSID a ProgID names, or "".
std::string ProgIdClass(const std::string& progId) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, (progId + "\\CLSID").c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return std::string();
  }
  char text[64] = {};
  DWORD size = sizeof text - 1;
  DWORD type = 0;
  const LSTATUS status =
      RegQueryValueExA(key, "", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? std::string(text) : std::string();
}

}  // namespace

HRESULT RegisterModuleTypeLib(const std::string& modulePath) {
  try {
    const std::u16string path = Wide(modulePath);
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadTypeLib(path.c_str(), lib.Put());
    if (FAILED(hr)) return hr;
    // No separate help folder: the module's own folder serves.
    return RegisterTypeLib(lib.Get(), path.c_str(), nullptr);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT UnregisterModuleTypeLib() {
  return UnRegisterTypeLib(LIBID_VORNOUTLOOKEXPRESSLib, kLibraryMajor, kLibraryMinor,
                           LOCALE_NEUTRAL, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
}

HRESULT RegisterControlClass(const std::string& modulePath) {
  try {
    const std::string clsid = GuidText(CLSID_VornOutlookExpress);
    const std::string key = "CLSID\\" + clsid;
    const std::string typeName = LoadResourceString(IDS_VORNOUTLOOKEXPRESS);
    ClassKeys keys;
    const bool ok =
        keys.Write(key, {{"", typeName}}) &&
        keys.Write(key + "\\InprocServer32",
                   {{"", modulePath}, {"ThreadingModel", kThreadingModel}}) &&
        keys.Write(key + "\\ProgID", {{"", kControlProgId}}) &&
        keys.Write(key + "\\Control") && keys.Write(key + "\\Insertable") &&
        keys.Write(key + "\\MiscStatus", {{"", "0"}}) &&
        keys.Write(key + "\\MiscStatus\\1", {{"", std::to_string(kControlMiscStatus)}}) &&
        keys.Write(key + "\\ToolboxBitmap32",
                   {{"", modulePath + ", " + std::to_string(IDB_VORNOUTLOOKEXPRESS)}}) &&
        keys.Write(key + "\\TypeLib", {{"", GuidText(LIBID_VORNOUTLOOKEXPRESSLib)}}) &&
        keys.Write(key + "\\Version", {{"", std::to_string(kLibraryMajor) + "." +
                                                std::to_string(kLibraryMinor)}}) &&
        keys.Write(kControlProgId, {{"", typeName}}) &&
        keys.Write(std::string(kControlProgId) + "\\CLSID", {{"", clsid}});
    if (!ok) return SELFREG_E_CLASS;
    keys.Keep();
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT RegisterPropPageClass(const std::string& modulePath) {
  try {
    const std::string key = "CLSID\\" + GuidText(CLSID_VornOutlookExpressPropPage);
    ClassKeys keys;
    const bool ok = keys.Write(key, {{"", LoadResourceString(IDS_VORNOUTLOOKEXPRESS_PPG)}}) &&
                    keys.Write(key + "\\InprocServer32", {{"", modulePath}});
    if (!ok) return SELFREG_E_CLASS;
    keys.Keep();
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT UnregisterControlClass() {
  try {
    const std::string clsid = GuidText(CLSID_VornOutlookExpress);
    if (!DeleteTree("CLSID\\" + clsid)) return SELFREG_E_CLASS;
    // The ProgID goes only while it still names this class.
    const std::string owner = ProgIdClass(kControlProgId);
    if (!owner.empty() && !(owner == clsid)) return S_OK;
    return DeleteTree(kControlProgId) ? S_OK : SELFREG_E_CLASS;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT UnregisterPropPageClass() {
  try {
    return DeleteTree("CLSID\\" + GuidText(CLSID_VornOutlookExpressPropPage)) ? S_OK
                                                                               : SELFREG_E_CLASS;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
