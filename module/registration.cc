#include "module/registration.h"

#include <string>

#include "control/identifiers.h"
#include "control/resources.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "platform/typelib.h"
#include "runtime/com_ptr.h"
#include "runtime/registration_writer.h"
#include "runtime/registry_key.h"
#include "runtime/status_guard.h"
#include "runtime/text.h"

namespace {

std::string GuidText(REFGUID guid) {
  char text[40];
  StringFromGUID2(guid, text, sizeof text);
  return text;
}

}  // namespace

HRESULT RegisterModuleTypeLib(const std::string& modulePath) {
  return vorn_rt::Guarded([&] {
    const std::u16string path = vorn_rt::Utf8ToUtf16(modulePath);
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadTypeLib(path.c_str(), lib.Put());
    if (FAILED(hr)) return hr;
    // No separate help folder: the module's own folder serves.
    return RegisterTypeLib(lib.Get(), path.c_str(), nullptr);
  });
}

HRESULT UnregisterModuleTypeLib() {
  return UnRegisterTypeLib(LIBID_VORNOUTLOOKEXPRESSLib, kLibraryMajor, kLibraryMinor,
                           LOCALE_NEUTRAL, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
}

HRESULT RegisterControlClass(const std::string& modulePath) {
  return vorn_rt::Guarded([&] {
    const std::string clsid = GuidText(CLSID_VornOutlookExpress);
    const std::string key = vorn_rt::ClassKeyPath(CLSID_VornOutlookExpress);
    const std::string typeName = LoadResourceString(IDS_VORNOUTLOOKEXPRESS);
    vorn_rt::RegistrationWriter keys;
    const bool ok =
        keys.WriteServerClass(CLSID_VornOutlookExpress, typeName, modulePath, kThreadingModel) &&
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
    keys.Commit();
    return S_OK;
  });
}

HRESULT RegisterPropPageClass(const std::string& modulePath) {
  return vorn_rt::Guarded([&] {
    vorn_rt::RegistrationWriter keys;
    if (!keys.WriteServerClass(CLSID_VornOutlookExpressPropPage,
                               LoadResourceString(IDS_VORNOUTLOOKEXPRESS_PPG), modulePath,
                               nullptr)) {
      return SELFREG_E_CLASS;
    }
    keys.Commit();
    return S_OK;
  });
}

HRESULT UnregisterControlClass() {
  return vorn_rt::Guarded([] {
    if (!vorn_rt::RemoveServerClass(CLSID_VornOutlookExpress)) return SELFREG_E_CLASS;
    // The ProgID goes only while it still names this class.
    std::string owner;
    if (vorn_rt::ReadRegistryString(HKEY_CLASSES_ROOT, std::string(kControlProgId) + "\\CLSID",
                                    "", &owner) == ERROR_SUCCESS &&
        !owner.empty() && !(owner == GuidText(CLSID_VornOutlookExpress))) {
      return S_OK;
    }
    return vorn_rt::RemoveRegistryTree(HKEY_CLASSES_ROOT, kControlProgId) ? S_OK
                                                                          : SELFREG_E_CLASS;
  });
}

HRESULT UnregisterPropPageClass() {
  return vorn_rt::RemoveServerClass(CLSID_VornOutlookExpressPropPage) ? S_OK : SELFREG_E_CLASS;
}
