// Internal helper of the fakes: hands a new fake object out through an
// optional wrapper.
#pragma once

#include <functional>

#include "runtime/com_ptr.h"

namespace vorn_fakes {

// Stores the `riid` interface of `object` (count 0, just made), or of what
// `wrap` makes of it, in *ppv. The caller then owns the only reference.
template <class I>
HRESULT HandOut(I* object, const std::function<ComPtr<I>(ComPtr<I>)>& wrap, REFIID riid,
                void** ppv) {
  if (!wrap) return object->QueryInterface(riid, ppv);
  ComPtr<I> wrapped = wrap(ComPtr<I>(object));
  if (!wrapped) {
    *ppv = nullptr;
    return E_UNEXPECTED;
  }
  return wrapped->QueryInterface(riid, ppv);
}

}  // namespace vorn_fakes
