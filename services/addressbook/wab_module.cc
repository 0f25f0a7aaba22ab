// vornwab.so: the address book library. Exports WABOpen, which opens the
// address book over the vCard files it is configured to read, and the
// self-registration pair, which records the library's own path where the
// session looks for it.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include "platform/loader.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "platform/wab.h"
#include "services/addressbook/address_book.h"
#include "services/addressbook/contact_files.h"

// Opens the address book: *addrBook and *wabObject (the caller releases both)
// on S_OK, both null otherwise. The contacts come from params->szFileName when
// it names something (a vCard file or a folder of .vcf files), else from the
// path configured under WAB_CONTACTS_KEY, else from the root's "contacts"
// folder; the path is fixed here, the files are read for each contents table.
// E_INVALIDARG for a null out-pointer, STG_E_FILENOTFOUND when the platform's
// root folder cannot be had.
VORN_EXPORT HRESULT WABOpen(LPADRBOOK* addrBook, LPWABOBJECT* wabObject, LPWAB_PARAM params,
                            DWORD reserved);
// Records this library's full path as the default value of WAB_DLL_PATH_KEY
// under HKEY_LOCAL_MACHINE. Refuses, writing nothing, a path that does not fit
// in WAB_DLL_PATH_SIZE bytes.
VORN_EXPORT HRESULT DllRegisterServer();
// Removes that key (or only its default value when the key has subkeys).
// S_OK also when nothing was registered.
VORN_EXPORT HRESULT DllUnregisterServer();

static_assert(std::is_same_v<decltype(&WABOpen), LPWABOPEN>);
static_assert(std::is_same_v<decltype(&DllRegisterServer), LPFNREGISTERSERVER>);
static_assert(std::is_same_v<decltype(&DllUnregisterServer), LPFNREGISTERSERVER>);

namespace {

constexpr LONG kErrorFilenameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE

HRESULT StatusFromRegistry(LONG error) { return HRESULT_FROM_WIN32(error); }

// The configured contacts path, false when none is configured (no key, no
// string value, or an empty one).
bool ReadConfiguredPath(std::string* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, WAB_CONTACTS_KEY, 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  bool found = false;
  // The value may change between asking for its size and reading it.
  for (int attempt = 0; attempt < 3 && !found; ++attempt) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExA(key, WAB_CONTACTS_PATH_VALUE, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
      break;
    }
    std::string buffer(size, '\0');
    const LONG status = RegQueryValueExA(key, WAB_CONTACTS_PATH_VALUE, nullptr, &type,
                                         reinterpret_cast<LPBYTE>(buffer.data()), &size);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) break;
    buffer.resize(strnlen(buffer.c_str(), std::min<size_t>(size, buffer.size())));
    *path = std::move(buffer);
    found = true;
  }
  RegCloseKey(key);
  return found && !path->empty();
}

bool RootPath(std::string* root) {
  const DWORD needed = VornGetRootPath(nullptr, 0);
  if (needed == 0) return false;
  std::string buffer(needed + 1, '\0');
  const DWORD length = VornGetRootPath(buffer.data(), needed + 1);
  if (length == 0 || length > needed) return false;
  buffer.resize(length);
  *root = std::move(buffer);
  return true;
}

HRESULT ContactPath(const WAB_PARAM* params, std::string* path) {
  if (params && params->cbSize >= offsetof(WAB_PARAM, szFileName) + sizeof(params->szFileName) &&
      params->szFileName && params->szFileName[0]) {
    *path = params->szFileName;
    return S_OK;
  }
  std::string configured;
  const bool haveConfigured = ReadConfiguredPath(&configured);
  if (haveConfigured && configured[0] == '/') {
    *path = std::move(configured);
    return S_OK;
  }
  std::string root;
  if (!RootPath(&root)) return STG_E_FILENOTFOUND;
  if (root.back() != '/') root.push_back('/');
  *path = root + (haveConfigured ? configured : std::string("contacts"));
  return S_OK;
}

}  // namespace

HRESULT WABOpen(LPADRBOOK* addrBook, LPWABOBJECT* wabObject, LPWAB_PARAM params, DWORD) {
  if (addrBook) *addrBook = nullptr;
  if (wabObject) *wabObject = nullptr;
  if (!addrBook || !wabObject) return E_INVALIDARG;
  try {
    std::string path;
    const HRESULT hr = ContactPath(params, &path);
    if (FAILED(hr)) return hr;
    return vorn_wab::CreateAddressBook(vorn_wab::MakeContactFileSource(std::move(path)),
                                       std::make_shared<vorn_wab::BufferPool>(), addrBook,
                                       wabObject);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT DllRegisterServer() {
  try {
    const HMODULE self = VornModuleFromAddress(reinterpret_cast<const void*>(&WABOpen));
    if (!self) return E_UNEXPECTED;
    std::string path(4096, '\0');
    const DWORD length = GetModuleFileNameA(self, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return E_UNEXPECTED;
    if (length >= WAB_DLL_PATH_SIZE) return HRESULT_FROM_WIN32(kErrorFilenameTooLong);

    HKEY key = nullptr;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return StatusFromRegistry(status);
    status = RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                            length + 1);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? S_OK : StatusFromRegistry(status);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT DllUnregisterServer() {
  LONG status = RegDeleteKeyA(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY);
  if (status == ERROR_ACCESS_DENIED) {
    // The key has subkeys of someone else's: take away only the path.
    HKEY key = nullptr;
    status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, 0, KEY_SET_VALUE, &key);
    if (status == ERROR_SUCCESS) {
      status = RegDeleteValueA(key, "");
      RegCloseKey(key);
    }
  }
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return S_OK;
  return StatusFromRegistry(status);
}
