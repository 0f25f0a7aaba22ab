// Loading the fake address book library and attaching a FakeAddressBook.

#include <string>

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

FakeWabLibrary::FakeWabLibrary(FakeAddressBook* book, const std::string& path)
    : module_(LoadLibraryA(path.c_str())) {
  if (!module_) return;
  if (VornFakeWabConfigureFunction configure = ConfigureEntry(module_)) {
    VornFakeWabHooks hooks{book, &OpenThroughBook};
    configure(book ? &hooks : nullptr);
  }
}

FakeWabLibrary::~FakeWabLibrary() {
  if (!module_) return;
  if (VornFakeWabConfigureFunction configure = ConfigureEntry(module_)) configure(nullptr);
  FreeLibrary(module_);
}

LPWABOPEN FakeWabLibrary::wabOpen() const {
  if (!module_) return nullptr;
  return reinterpret_cast<LPWABOPEN>(GetProcAddress(module_, WAB_OPEN_ENTRY));
}

}  // namespace vorn_fakes
