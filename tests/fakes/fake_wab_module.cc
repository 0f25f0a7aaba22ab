// Registering the fake address book library where a session looks for it.

#include <string>

#include "platform/registry.h"
#include "tests/fakes/fake_address_book.h"

namespace vorn_fakes {

LONG RegisterWabPath(const std::string& path) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, 0, nullptr,
                                REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                          static_cast<DWORD>(path.size() + 1));
  RegCloseKey(key);
  return status;
}

LONG UnregisterWabPath() { return RegDeleteTreeA(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY); }

FakeWabModule::FakeWabModule(FakeAddressBook* book, std::string path)
    : path_(std::move(path)),
      registered_(RegisterWabPath(path_) == ERROR_SUCCESS),
      library_(book, path_) {}

FakeWabModule::~FakeWabModule() { UnregisterWabPath(); }

}  // namespace vorn_fakes
