#include "services/mime/status.h"

namespace vorn_mime {

HRESULT StatusOf(Failure failure) {
  switch (failure) {
    case Failure::kNotFound:
      return MIME_E_NOT_FOUND;
    case Failure::kInvalidHandle:
      return MIME_E_INVALID_HANDLE;
    case Failure::kInvalidArgument:
      return E_INVALIDARG;
    case Failure::kNullPointer:
      return E_POINTER;
    case Failure::kNoInterface:
      return E_NOINTERFACE;
    case Failure::kUnconvertible:
      return E_FAIL;
    case Failure::kTooLarge:
    case Failure::kOutOfMemory:
      return E_OUTOFMEMORY;
    case Failure::kReadFault:
      return STG_E_READFAULT;
    case Failure::kWriteFault:
      return STG_E_WRITEFAULT;
    case Failure::kAccessDenied:
      return STG_E_ACCESSDENIED;
  }
  return E_UNEXPECTED;
}

}  // namespace vorn_mime
