// vornwab.so: the address book library. Exports WABOpen, which opens the
// address book over the vCard files it is configured to read, and the
// self-registration pair, which records the library's own path where the
// session looks for it.

#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>

#include "platform/registry.h"
#include "platform/runtime.h"
#include "platform/wab.h"
#include "runtime/registration_writer.h"
#include "runtime/registry_key.h"
#include "runtime/server_module.h"
#include "runtime/status_guard.h"
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
  return vorn_rt::ReadRegistryString(HKEY_CURRENT_USER, WAB_CONTACTS_KEY, WAB_CONTACTS_PATH_VALUE,
                                     path) == ERROR_SUCCESS &&
         !path->empty();
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
  return vorn_rt::Guarded(
      [&] {
        std::string path;
        const HRESULT hr = ContactPath(params, &path);
        if (FAILED(hr)) return hr;
        return vorn_wab::CreateAddressBook(vorn_wab::MakeContactFileSource(std::move(path)),
                                           std::make_shared<vorn_wab::BufferPool>(), addrBook,
                                           wabObject);
      },
      E_FAIL);
}

HRESULT DllRegisterServer() {
  return vorn_rt::Guarded([] {
    const std::string path = vorn_rt::LibraryPathOf(reinterpret_cast<const void*>(&WABOpen));
    if (path.empty()) return E_UNEXPECTED;
    if (path.size() >= WAB_DLL_PATH_SIZE) return HRESULT_FROM_WIN32(kErrorFilenameTooLong);
    vorn_rt::RegistrationWriter writer(HKEY_LOCAL_MACHINE);
    if (!writer.Write(WAB_DLL_PATH_KEY, {{"", path}})) return StatusFromRegistry(writer.status());
    writer.Commit();
    return S_OK;
  });
}

HRESULT DllUnregisterServer() {
  LONG status = RegDeleteKeyA(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY);
  if (status == ERROR_ACCESS_DENIED) {
    // The key has subkeys of someone else's: take away only the path.
    vorn_rt::RegistryKey key;
    status = key.Open(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, KEY_SET_VALUE);
    if (status == ERROR_SUCCESS) status = RegDeleteValueA(key.get(), "");
  }
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return S_OK;
  return StatusFromRegistry(status);
}
