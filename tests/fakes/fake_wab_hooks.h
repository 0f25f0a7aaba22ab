// The configuration entry point both fake address book libraries export
// (vornfakewab.so with WABOpen, vornfakewab_noopen.so without it).
//
// After VornFakeWabConfigure(hooks), the library's WABOpen calls
// hooks->open(hooks->context, ...) and returns its status; with null (the
// state after loading) WABOpen sets both out-pointers to null and returns
// E_UNEXPECTED. The library copies the hooks.
#pragma once

#include "platform/wab.h"

namespace vorn_fakes {

struct VornFakeWabHooks {
  void* context;
  HRESULT(*open)
  (void* context, LPADRBOOK* addrBook, LPWABOBJECT* wabObject, LPWAB_PARAM params, DWORD reserved);
};

constexpr LPCSTR kFakeWabConfigureEntry = "VornFakeWabConfigure";
typedef void (*VornFakeWabConfigureFunction)(const VornFakeWabHooks* hooks);

}  // namespace vorn_fakes
