// vornfakewab.so: the fake address book library. It holds no address book of
// its own: its WABOpen passes the call to the hooks a test installed with
// VornFakeWabConfigure (see tests/fakes/fake_address_book.h).

#include "tests/fakes/fake_wab_hooks.h"

namespace {

vorn_fakes::VornFakeWabHooks gHooks = {nullptr, nullptr};

}  // namespace

VORN_EXPORT void VornFakeWabConfigure(const vorn_fakes::VornFakeWabHooks* hooks) {
  gHooks = hooks ? *hooks : vorn_fakes::VornFakeWabHooks{nullptr, nullptr};
}

#ifndef VORN_FAKE_WAB_WITHOUT_OPEN
VORN_EXPORT HRESULT WABOpen(LPADRBOOK* addrBook, LPWABOBJECT* wabObject, LPWAB_PARAM params,
                            DWORD reserved) {
  if (!gHooks.open) {
    if (addrBook) *addrBook = nullptr;
    if (wabObject) *wabObject = nullptr;
    return E_UNEXPECTED;
  }
  return gHooks.open(gHooks.context, addrBook, wabObject, params, reserved);
}

// The entry point's type must stay the one the address book declares.
static_assert(sizeof(static_cast<LPWABOPEN>(&WABOpen)) == sizeof(void*));
#endif
