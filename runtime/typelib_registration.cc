// The registry entries of a registered type library: TypeLib\{libid}\<version>
// with its locale's path for this platform, FLAGS and HELPDIR, and an
// Interface\{iid} key for each interface, through which hosts find the type
// information of an object and its event interfaces.

#include <cstdio>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/runtime.h"
#include "platform/typelib.h"
#include "runtime/com_ptr.h"
#include "runtime/registration_writer.h"
#include "runtime/registry_key.h"
#include "runtime/text.h"

namespace {

std::string GuidText(REFGUID guid) {
  char text[40];
  StringFromGUID2(guid, text, sizeof text);
  return text;
}

// ---------------------------------------------------------------------------
// Registry.

// The platform key of a registered library's path: only the platforms this
// runtime loads libraries for have one; null for any other.
const char* PlatformKeyName(SYSKIND syskind) {
  switch (syskind) {
    case SYS_WIN32: return "win32";
    case SYS_WIN64: return "win64";
    default: return nullptr;
  }
}

SYSKIND ThisPlatform() { return sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32; }

std::string VersionText(WORD major, WORD minor) {
  return std::to_string(major) + "." + std::to_string(minor);
}

std::string LocaleText(LCID lcid) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(lcid));
  return text;
}

bool ReadDefault(HKEY root, const std::string& path, const char* name, std::string* value) {
  return vorn_rt::ReadRegistryString(root, path, name, value) == ERROR_SUCCESS;
}

bool KeyExists(const std::string& path) {
  return vorn_rt::RegistryKey().Open(HKEY_CLASSES_ROOT, path) == ERROR_SUCCESS;
}

std::vector<std::string> SubKeys(const std::string& path) {
  std::vector<std::string> names;
  vorn_rt::RegistryKey key;
  if (key.Open(HKEY_CLASSES_ROOT, path) != ERROR_SUCCESS) return names;
  for (DWORD i = 0;; ++i) {
    char name[512];
    DWORD cch = sizeof name;
    if (RegEnumKeyExA(key.get(), i, name, &cch, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    names.emplace_back(name, cch);
  }
  return names;
}

bool IsLocaleKey(const std::string& name) {
  if (name.empty() || name.size() > 8) return false;
  for (char c : name) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

// The locale key under `versionKey` that serves `lcid`: the exact one, then
// its primary language, then the neutral one; for LOCALE_NEUTRAL any.
bool FindLocaleKey(const std::string& versionKey, LCID lcid, const char* platform,
                   std::string* localeKey) {
  std::vector<std::string> tries{LocaleText(lcid), LocaleText(lcid & 0x3FF), LocaleText(0)};
  if (lcid == LOCALE_NEUTRAL) {
    for (const std::string& name : SubKeys(versionKey)) {
      if (IsLocaleKey(name)) tries.push_back(name);
    }
  }
  for (const std::string& name : tries) {
    const std::string path = versionKey + "\\" + name;
    if (KeyExists(path + "\\" + platform)) {
      *localeKey = path;
      return true;
    }
  }
  return false;
}

}  // namespace

HRESULT RegisterTypeLib(ITypeLib* typeLib, LPCOLESTR fullPath, LPCOLESTR helpDir) {
  if (!typeLib || !fullPath) return E_INVALIDARG;
  try {
    TLIBATTR* attr = nullptr;
    HRESULT hr = typeLib->GetLibAttr(&attr);
    if (FAILED(hr)) return hr;
    const TLIBATTR la = *attr;
    typeLib->ReleaseTLibAttr(attr);

    BSTR name = nullptr, doc = nullptr;
    hr = typeLib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
    if (FAILED(hr)) return hr;
    LPSTR nameA = VornSysStringToA(name, nullptr);
    LPSTR docA = VornSysStringToA(doc, nullptr);
    SysFreeString(name);
    SysFreeString(doc);
    const std::string libName = nameA ? nameA : "";
    const std::string libDoc = docA ? docA : "";
    CoTaskMemFree(nameA);
    CoTaskMemFree(docA);

    const std::string path = vorn_rt::Utf16ToUtf8(fullPath);
    std::string help = helpDir ? vorn_rt::Utf16ToUtf8(helpDir) : std::string();
    if (!helpDir) {
      const size_t slash = path.find_last_of('/');
      help = slash == std::string::npos ? std::string() : path.substr(0, slash);
    }
    const std::string libid = GuidText(la.guid);
    const std::string version = VersionText(la.wMajorVerNum, la.wMinorVerNum);
    const std::string versionKey = "TypeLib\\" + libid + "\\" + version;

    // The path goes under this platform's key, the one LoadRegTypeLib reads,
    // whatever platform the library names.
    const std::string localeKey = versionKey + "\\" + LocaleText(la.lcid);
    vorn_rt::RegistrationWriter writer;
    const std::string title = libDoc.empty() ? libName : libDoc;
    bool ok = writer.Write(versionKey, {{"", title}}) &&
              writer.Write(localeKey + "\\" + PlatformKeyName(ThisPlatform()), {{"", path}}) &&
              writer.Write(versionKey + "\\FLAGS", {{"", std::to_string(la.wLibFlags)}}) &&
              writer.Write(versionKey + "\\HELPDIR", {{"", help}});
    const UINT count = typeLib->GetTypeInfoCount();
    for (UINT i = 0; ok && i < count; ++i) {
      TYPEKIND kind;
      if (FAILED(typeLib->GetTypeInfoType(i, &kind))) return TYPE_E_INVDATAREAD;
      if (kind != TKIND_DISPATCH && kind != TKIND_INTERFACE) continue;
      ComPtr<ITypeInfo> info;
      if (FAILED(typeLib->GetTypeInfo(i, info.Put()))) return TYPE_E_INVDATAREAD;
      TYPEATTR* ta = nullptr;
      if (FAILED(info->GetTypeAttr(&ta))) return TYPE_E_INVDATAREAD;
      const GUID iid = ta->guid;
      info->ReleaseTypeAttr(ta);
      BSTR typeName = nullptr;
      if (FAILED(info->GetDocumentation(MEMBERID_NIL, &typeName, nullptr, nullptr, nullptr))) {
        return E_OUTOFMEMORY;
      }
      LPSTR typeNameA = VornSysStringToA(typeName, nullptr);
      SysFreeString(typeName);
      const std::string interfaceName = typeNameA ? typeNameA : "";
      CoTaskMemFree(typeNameA);
      const std::string interfaceKey = "Interface\\" + GuidText(iid);
      ok = writer.Write(interfaceKey, {{"", interfaceName}}) &&
           writer.Write(interfaceKey + "\\TypeLib", {{"", libid}, {"Version", version}});
    }
    if (!ok) return TYPE_E_REGISTRYACCESS;
    writer.Commit();
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT UnRegisterTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, SYSKIND syskind) {
  try {
    const std::string libText = GuidText(libid);
    const std::string libKey = "TypeLib\\" + libText;
    const std::string version = VersionText(major, minor);
    const std::string versionKey = libKey + "\\" + version;
    const char* platform = PlatformKeyName(syskind);
    std::string localeKey;
    if (!platform || !FindLocaleKey(versionKey, lcid, platform, &localeKey)) return TYPE_E_REGISTRYACCESS;

    // The interfaces that name this library and version.
    for (const std::string& iid : SubKeys("Interface")) {
      const std::string key = "Interface\\" + iid + "\\TypeLib";
      std::string owner, ownerVersion;
      if (!ReadDefault(HKEY_CLASSES_ROOT, key, "", &owner) || !vorn_rt::EqualNoCase(owner, libText)) {
        continue;
      }
      if (ReadDefault(HKEY_CLASSES_ROOT, key, "Version", &ownerVersion) &&
          ownerVersion != version) {
        continue;
      }
      if (RegDeleteTreeA(HKEY_CLASSES_ROOT, ("Interface\\" + iid).c_str()) != ERROR_SUCCESS) {
        return TYPE_E_REGISTRYACCESS;
      }
    }
    if (RegDeleteTreeA(HKEY_CLASSES_ROOT, (localeKey + "\\" + platform).c_str()) !=
        ERROR_SUCCESS) {
      return TYPE_E_REGISTRYACCESS;
    }
    if (SubKeys(localeKey).empty() &&
        RegDeleteTreeA(HKEY_CLASSES_ROOT, localeKey.c_str()) != ERROR_SUCCESS) {
      return TYPE_E_REGISTRYACCESS;
    }
    bool otherLocale = false;
    for (const std::string& name : SubKeys(versionKey)) {
      if (IsLocaleKey(name)) otherLocale = true;
    }
    if (!otherLocale && RegDeleteTreeA(HKEY_CLASSES_ROOT, versionKey.c_str()) != ERROR_SUCCESS) {
      return TYPE_E_REGISTRYACCESS;
    }
    if (SubKeys(libKey).empty() &&
        RegDeleteTreeA(HKEY_CLASSES_ROOT, libKey.c_str()) != ERROR_SUCCESS) {
      return TYPE_E_REGISTRYACCESS;
    }
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT LoadRegTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, ITypeLib** typeLib) {
  if (!typeLib) return E_INVALIDARG;
  *typeLib = nullptr;
  try {
    const std::string versionKey =
        "TypeLib\\" + GuidText(libid) + "\\" + VersionText(major, minor);
    const char* platform = PlatformKeyName(ThisPlatform());
    std::string localeKey, path;
    if (!FindLocaleKey(versionKey, lcid, platform, &localeKey) ||
        !ReadDefault(HKEY_CLASSES_ROOT, localeKey + "\\" + platform, "", &path)) {
      return TYPE_E_LIBNOTREGISTERED;
    }
    const std::u16string wide = vorn_rt::Utf8ToUtf16(path);
    return LoadTypeLib(wide.c_str(), typeLib);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
