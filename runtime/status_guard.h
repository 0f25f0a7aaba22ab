// Guarded: the one place where an exception becomes a result code, for every
// function a host, an export or an interface can call.
//
// Header only; nothing here is exported.
#pragma once

#include <new>

#include "platform/unknown.h"

namespace vorn_rt {

// Runs `body` (returning HRESULT) and returns its result. An exception that
// escapes it becomes E_OUTOFMEMORY for an allocation failure and `failure`
// for anything else; none leaves.
template <class Body>
HRESULT Guarded(Body&& body, HRESULT failure = E_UNEXPECTED) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return failure;
  }
}

}  // namespace vorn_rt
