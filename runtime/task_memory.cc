// Task memory and PROPVARIANT clearing.

#include <cstdlib>

#include "platform/propvariant.h"
#include "platform/runtime.h"

void* CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb == 0 ? 1 : cb); }

void* CoTaskMemRealloc(void* pv, SIZE_T cb) { return std::realloc(pv, cb == 0 ? 1 : cb); }

void CoTaskMemFree(void* pv) { std::free(pv); }

HRESULT PropVariantClear(PROPVARIANT* value) {
  if (!value) return E_INVALIDARG;
  switch (value->vt) {
    case VT_LPSTR:
      CoTaskMemFree(value->pszVal);
      break;
    case VT_LPWSTR:
      CoTaskMemFree(value->pwszVal);
      break;
    case VT_UNKNOWN:
      if (value->punkVal) value->punkVal->Release();
      break;
    case VT_EMPTY:
    case VT_NULL:
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_BOOL:
    case VT_ERROR:
    case VT_HRESULT:
    case VT_FILETIME:
      break;
    default:
      return E_INVALIDARG;
  }
  PropVariantInit(value);
  return S_OK;
}
