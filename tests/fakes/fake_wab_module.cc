// Installing the fake address book library where the session looks for it.

#include <string>

#include "platform/registry.h"
#include "tests/fakes/fake_address_book.h"
#include "tests/support/temp_root.h"

namespace vorn_fakes {
namespace {

HRESULT OpenThroughBook(void* context, LPADRBOOK* addrBook, LPWABOBJECT* wabObject,
                        LPWAB_PARAM params, DWORD reserved) {
  return static_cast<FakeAddressBook*>(context)->Open(addrBook, wabObject, params, reserved);
}

VornFakeWabConfigureFunction ConfigureEntry(HMODULE module) {
  return reinterpret_cast<VornFakeWabConfigureFunction>(
      GetProcAddress(module, kFakeWabConfigureEntry));
}

}  // namespace

std::string FakeWabLibraryPath() { return vorn_test::BinDir() + "/vornfakewab.so"; }

std::string FakeWabLibraryWithoutEntryPath() {
  return vorn_test::BinDir() + "/vornfakewab_noopen.so";
}

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

FakeWabModule::FakeWabModule(FakeAddressBook* book, std::string path) : path_(std::move(path)) {
  if (RegisterWabPath(path_) != ERROR_SUCCESS) return;
  module_ = LoadLibraryA(path_.c_str());
  if (!module_) return;
  if (VornFakeWabConfigureFunction configure = ConfigureEntry(module_)) {
    if (book) {
      VornFakeWabHooks hooks{book, &OpenThroughBook};
      configure(&hooks);
    } else {
      configure(nullptr);
    }
  }
  ok_ = true;
}

FakeWabModule::~FakeWabModule() {
  if (module_) {
    if (VornFakeWabConfigureFunction configure = ConfigureEntry(module_)) configure(nullptr);
    FreeLibrary(module_);
  }
  UnregisterWabPath();
}

LPWABOPEN FakeWabModule::wabOpen() const {
  if (!module_) return nullptr;
  return reinterpret_cast<LPWABOPEN>(GetProcAddress(module_, WAB_OPEN_ENTRY));
}

}  // namespace vorn_fakes
