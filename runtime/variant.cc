// VARIANT: initialising, clearing, copying and converting typed values.

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "platform/automation.h"
#include "platform/runtime.h"
#include "runtime/text.h"

namespace {

bool IsKnownType(VARTYPE vt) {
  if (vt & VT_BYREF) {
    switch (vt & ~VT_BYREF) {
      case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4:
      case VT_I8: case VT_UI8: case VT_INT: case VT_UINT: case VT_R4: case VT_R8:
      case VT_DATE: case VT_BOOL: case VT_ERROR: case VT_BSTR: case VT_UNKNOWN:
      case VT_DISPATCH: case VT_VARIANT:
        return true;
      default:
        return false;
    }
  }
  switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I1: case VT_UI1: case VT_I2: case VT_UI2:
    case VT_I4: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
    case VT_R4: case VT_R8: case VT_DATE: case VT_BOOL: case VT_ERROR: case VT_BSTR:
    case VT_UNKNOWN: case VT_DISPATCH:
      return true;
    default:
      return false;
  }
}

// A number read from a value: an integer when exact, a real otherwise.
struct Number {
  enum Kind { kSigned, kUnsigned, kReal } kind = kSigned;
  int64_t s = 0;
  uint64_t u = 0;  // kUnsigned: above the signed range
  double d = 0;
};

Number FromSigned(int64_t v) { Number n; n.s = v; return n; }
Number FromUnsigned(uint64_t v) {
  if (v <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return FromSigned(static_cast<int64_t>(v));
  }
  Number n; n.kind = Number::kUnsigned; n.u = v; return n;
}
Number FromReal(double v) { Number n; n.kind = Number::kReal; n.d = v; return n; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Parses the text of a number: blanks, an optional sign, digits with an
// optional fraction and exponent, blanks; or "&H" with hexadecimal digits.
HRESULT ParseNumber(const std::string& raw, Number* out) {
  size_t b = 0, e = raw.size();
  while (b < e && IsBlank(raw[b])) ++b;
  while (e > b && IsBlank(raw[e - 1])) --e;
  std::string text = raw.substr(b, e - b);
  if (text.empty()) return DISP_E_TYPEMISMATCH;
  if (text.size() > 2 && text[0] == '&' && (text[1] == 'H' || text[1] == 'h')) {
    uint64_t value = 0;
    for (size_t i = 2; i < text.size(); ++i) {
      const int digit = vorn_rt::HexDigitValue(text[i]);
      if (digit < 0) return DISP_E_TYPEMISMATCH;
      if (value > (std::numeric_limits<uint64_t>::max() >> 4)) return DISP_E_OVERFLOW;
      value = (value << 4) | static_cast<uint64_t>(digit);
    }
    *out = FromUnsigned(value);
    return S_OK;
  }
  size_t i = 0;
  if (text[i] == '+' || text[i] == '-') ++i;
  size_t digits = 0;
  bool integral = true;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') { ++i; ++digits; }
  if (i < text.size() && text[i] == '.') {
    integral = false;
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') { ++i; ++digits; }
  }
  if (digits == 0) return DISP_E_TYPEMISMATCH;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    integral = false;
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t expDigits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') { ++i; ++expDigits; }
    if (expDigits == 0) return DISP_E_TYPEMISMATCH;
  }
  if (i != text.size()) return DISP_E_TYPEMISMATCH;
  if (integral) {
    errno = 0;
    char* end = nullptr;
    if (text[0] == '-') {
      const long long v = std::strtoll(text.c_str(), &end, 10);
      if (errno != ERANGE) { *out = FromSigned(v); return S_OK; }
    } else {
      const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
      if (errno != ERANGE) { *out = FromUnsigned(v); return S_OK; }
    }
  }
  errno = 0;
  const double v = std::strtod(text.c_str(), nullptr);
  if (std::isinf(v)) return DISP_E_OVERFLOW;
  *out = FromReal(v);
  return S_OK;
}

bool EqualsNoCase(const std::string& text, const char* word) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  return vorn_rt::EqualNoCase(text.substr(b, e - b), word);
}

HRESULT BstrToUtf8(BSTR text, std::string* out) {
  int cb = 0;
  LPSTR converted = VornSysStringToA(text, &cb);
  if (!converted) return E_OUTOFMEMORY;
  out->assign(converted, static_cast<size_t>(cb));
  CoTaskMemFree(converted);
  return S_OK;
}

// Reads `value` (not VT_BYREF) as a number.
HRESULT ReadNumber(const VARIANT& value, Number* out) {
  switch (value.vt) {
    case VT_EMPTY: *out = FromSigned(0); return S_OK;
    case VT_I1: *out = FromSigned(value.cVal); return S_OK;
    case VT_UI1: *out = FromSigned(value.bVal); return S_OK;
    case VT_I2: *out = FromSigned(value.iVal); return S_OK;
    case VT_UI2: *out = FromSigned(value.uiVal); return S_OK;
    case VT_I4: *out = FromSigned(value.lVal); return S_OK;
    case VT_INT: *out = FromSigned(value.intVal); return S_OK;
    case VT_UI4: *out = FromSigned(value.ulVal); return S_OK;
    case VT_UINT: *out = FromSigned(value.uintVal); return S_OK;
    case VT_I8: *out = FromSigned(value.llVal); return S_OK;
    case VT_UI8: *out = FromUnsigned(value.ullVal); return S_OK;
    case VT_R4: *out = FromReal(value.fltVal); return S_OK;
    case VT_R8: *out = FromReal(value.dblVal); return S_OK;
    case VT_DATE: *out = FromReal(value.date); return S_OK;
    case VT_BOOL: *out = FromSigned(value.boolVal ? -1 : 0); return S_OK;
    case VT_BSTR: {
      std::string text;
      HRESULT hr = BstrToUtf8(value.bstrVal, &text);
      if (FAILED(hr)) return hr;
      return ParseNumber(text, out);
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// Rounds a real half to even and checks that it is a finite integer within
// [low, high].
HRESULT RealToInteger(double d, long double low, long double high, int64_t* out) {
  if (std::isnan(d)) return DISP_E_OVERFLOW;
  const double r = std::nearbyint(d);  // the default rounding is to nearest, ties to even
  if (static_cast<long double>(r) < low || static_cast<long double>(r) > high) {
    return DISP_E_OVERFLOW;
  }
  *out = static_cast<int64_t>(r);
  return S_OK;
}

HRESULT ToSigned(const Number& n, int64_t low, int64_t high, int64_t* out) {
  switch (n.kind) {
    case Number::kSigned:
      if (n.s < low || n.s > high) return DISP_E_OVERFLOW;
      *out = n.s;
      return S_OK;
    case Number::kUnsigned:
      return DISP_E_OVERFLOW;
    case Number::kReal:
      return RealToInteger(n.d, low, high, out);
  }
  return DISP_E_OVERFLOW;
}

HRESULT ToUnsigned(const Number& n, uint64_t high, uint64_t* out) {
  switch (n.kind) {
    case Number::kSigned:
      if (n.s < 0 || static_cast<uint64_t>(n.s) > high) return DISP_E_OVERFLOW;
      *out = static_cast<uint64_t>(n.s);
      return S_OK;
    case Number::kUnsigned:
      if (n.u > high) return DISP_E_OVERFLOW;
      *out = n.u;
      return S_OK;
    case Number::kReal: {
      if (std::isnan(n.d)) return DISP_E_OVERFLOW;
      const double r = std::nearbyint(n.d);
      if (r < 0 || static_cast<long double>(r) > static_cast<long double>(high)) {
        return DISP_E_OVERFLOW;
      }
      *out = static_cast<uint64_t>(r);
      return S_OK;
    }
  }
  return DISP_E_OVERFLOW;
}

double ToReal(const Number& n) {
  switch (n.kind) {
    case Number::kSigned: return static_cast<double>(n.s);
    case Number::kUnsigned: return static_cast<double>(n.u);
    case Number::kReal: return n.d;
  }
  return 0;
}

std::string FormatReal(double d, int precision) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-Infinity" : "Infinity";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*G", precision, d);
  return buffer;
}

// The text of `value` (not VT_BYREF).
HRESULT ReadText(const VARIANT& value, USHORT flags, std::string* out) {
  switch (value.vt) {
    case VT_EMPTY: out->clear(); return S_OK;
    case VT_BOOL:
      if (flags & VARIANT_ALPHABOOL) {
        *out = value.boolVal ? "True" : "False";
      } else {
        *out = value.boolVal ? "-1" : "0";
      }
      return S_OK;
    case VT_R4: *out = FormatReal(value.fltVal, 7); return S_OK;
    case VT_R8: *out = FormatReal(value.dblVal, 15); return S_OK;
    case VT_DATE: return DISP_E_TYPEMISMATCH;
    default: {
      Number n;
      HRESULT hr = ReadNumber(value, &n);
      if (FAILED(hr)) return hr;
      *out = n.kind == Number::kUnsigned ? std::to_string(n.u) : std::to_string(n.s);
      return S_OK;
    }
  }
}

// Copies the value a VT_BYREF variant points at into a by-value variant that
// borrows (does not own) any string or interface.
HRESULT Dereference(const VARIANT& source, VARIANT* out) {
  *out = VARIANT{};
  out->vt = static_cast<VARTYPE>(source.vt & ~VT_BYREF);
  if (!source.byref) return E_INVALIDARG;
  switch (out->vt) {
    case VT_I1: out->cVal = *reinterpret_cast<CHAR*>(source.byref); break;
    case VT_UI1: out->bVal = *source.pbVal; break;
    case VT_I2: out->iVal = *source.piVal; break;
    case VT_UI2: out->uiVal = *reinterpret_cast<USHORT*>(source.byref); break;
    case VT_I4: out->lVal = *source.plVal; break;
    case VT_UI4: out->ulVal = *reinterpret_cast<ULONG*>(source.byref); break;
    case VT_INT: out->intVal = *reinterpret_cast<INT*>(source.byref); break;
    case VT_UINT: out->uintVal = *reinterpret_cast<UINT*>(source.byref); break;
    case VT_I8: out->llVal = *source.pllVal; break;
    case VT_UI8: out->ullVal = *reinterpret_cast<ULONGLONG*>(source.byref); break;
    case VT_R4: out->fltVal = *source.pfltVal; break;
    case VT_R8: out->dblVal = *source.pdblVal; break;
    case VT_DATE: out->date = *reinterpret_cast<DATE*>(source.byref); break;
    case VT_BOOL: out->boolVal = *source.pboolVal; break;
    case VT_ERROR: out->scode = *reinterpret_cast<SCODE*>(source.byref); break;
    case VT_BSTR: out->bstrVal = *source.pbstrVal; break;
    case VT_UNKNOWN: out->punkVal = *source.ppunkVal; break;
    case VT_DISPATCH: out->pdispVal = *source.ppdispVal; break;
    default: return DISP_E_BADVARTYPE;
  }
  return S_OK;
}

// Converts a by-value `source` into a new value `out` that owns what it holds.
HRESULT Convert(const VARIANT& source, USHORT flags, VARTYPE vt, VARIANT* out) {
  *out = VARIANT{};
  if (vt == VT_EMPTY) return S_OK;
  // The same type: a copy that owns its string or reference.
  if (source.vt == vt) return VariantCopy(out, &source);
  if (source.vt == VT_NULL) {
    if (vt == VT_NULL) { out->vt = VT_NULL; return S_OK; }
    return DISP_E_TYPEMISMATCH;
  }
  if (source.vt == VT_ERROR) {
    if (vt == VT_ERROR) { out->vt = VT_ERROR; out->scode = source.scode; return S_OK; }
    return DISP_E_TYPEMISMATCH;
  }
  if (source.vt == VT_UNKNOWN || source.vt == VT_DISPATCH) {
    IUnknown* object = source.vt == VT_UNKNOWN ? source.punkVal : source.pdispVal;
    if (vt == VT_UNKNOWN) {
      if (object) object->AddRef();
      out->vt = VT_UNKNOWN;
      out->punkVal = object;
      return S_OK;
    }
    if (vt == VT_DISPATCH) {
      IDispatch* dispatch = nullptr;
      if (source.vt == VT_DISPATCH) {
        dispatch = source.pdispVal;
        if (dispatch) dispatch->AddRef();
      } else if (object) {
        if (FAILED(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
          return DISP_E_TYPEMISMATCH;
        }
      }
      out->vt = VT_DISPATCH;
      out->pdispVal = dispatch;
      return S_OK;
    }
    return DISP_E_TYPEMISMATCH;
  }
  if (vt == VT_BSTR) {
    std::string text;
    HRESULT hr = ReadText(source, flags, &text);
    if (FAILED(hr)) return hr;
    BSTR result = VornSysAllocStringA(text.data(), static_cast<int>(text.size()));
    if (!result) return E_OUTOFMEMORY;
    out->vt = VT_BSTR;
    out->bstrVal = result;
    return S_OK;
  }
  if (vt == VT_BOOL && source.vt == VT_BSTR) {
    std::string text;
    HRESULT hr = BstrToUtf8(source.bstrVal, &text);
    if (FAILED(hr)) return hr;
    if (EqualsNoCase(text, "true") || EqualsNoCase(text, "false")) {
      out->vt = VT_BOOL;
      out->boolVal = EqualsNoCase(text, "true") ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
  }
  Number n;
  HRESULT hr = ReadNumber(source, &n);
  if (FAILED(hr)) return hr;
  int64_t s = 0;
  uint64_t u = 0;
  switch (vt) {
    case VT_BOOL:
      out->boolVal = ToReal(n) != 0 || n.kind == Number::kUnsigned ? VARIANT_TRUE : VARIANT_FALSE;
      if (n.kind == Number::kReal && std::isnan(n.d)) out->boolVal = VARIANT_TRUE;
      break;
    case VT_I1:
      hr = ToSigned(n, -128, 127, &s);
      out->cVal = static_cast<CHAR>(s);
      break;
    case VT_I2:
      hr = ToSigned(n, std::numeric_limits<SHORT>::min(), std::numeric_limits<SHORT>::max(), &s);
      out->iVal = static_cast<SHORT>(s);
      break;
    case VT_I4:
    case VT_INT:
      hr = ToSigned(n, std::numeric_limits<LONG>::min(), std::numeric_limits<LONG>::max(), &s);
      out->lVal = static_cast<LONG>(s);
      break;
    case VT_I8:
      hr = ToSigned(n, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(),
                    &s);
      out->llVal = s;
      break;
    case VT_UI1:
      hr = ToUnsigned(n, 0xFF, &u);
      out->bVal = static_cast<BYTE>(u);
      break;
    case VT_UI2:
      hr = ToUnsigned(n, 0xFFFF, &u);
      out->uiVal = static_cast<USHORT>(u);
      break;
    case VT_UI4:
    case VT_UINT:
      hr = ToUnsigned(n, 0xFFFFFFFFu, &u);
      out->ulVal = static_cast<ULONG>(u);
      break;
    case VT_UI8:
      hr = ToUnsigned(n, std::numeric_limits<uint64_t>::max(), &u);
      out->ullVal = u;
      break;
    case VT_R4: {
      const double d = ToReal(n);
      if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
        return DISP_E_OVERFLOW;
      }
      out->fltVal = static_cast<float>(d);
      break;
    }
    case VT_R8:
      out->dblVal = ToReal(n);
      break;
    case VT_DATE:
      out->date = ToReal(n);
      break;
    default:
      return DISP_E_BADVARTYPE;
  }
  if (FAILED(hr)) {
    *out = VARIANT{};
    return hr;
  }
  out->vt = vt;
  return S_OK;
}

}  // namespace

void VariantInit(VARIANTARG* value) {
  if (value) *value = VARIANT{};
}

HRESULT VariantClear(VARIANTARG* value) {
  if (!value) return E_INVALIDARG;
  if (!IsKnownType(value->vt)) return DISP_E_BADVARTYPE;
  switch (value->vt) {
    case VT_BSTR:
      SysFreeString(value->bstrVal);
      break;
    case VT_UNKNOWN:
      if (value->punkVal) value->punkVal->Release();
      break;
    case VT_DISPATCH:
      if (value->pdispVal) value->pdispVal->Release();
      break;
    default:
      break;
  }
  *value = VARIANT{};
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* source) {
  if (!dest || !source) return E_INVALIDARG;
  if (!IsKnownType(source->vt)) return DISP_E_BADVARTYPE;
  if (dest == source) return S_OK;
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) return hr;
  VARIANT copy = *source;
  switch (source->vt) {
    case VT_BSTR:
      if (source->bstrVal) {
        copy.bstrVal = SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
        if (!copy.bstrVal) return E_OUTOFMEMORY;
      }
      break;
    case VT_UNKNOWN:
      if (copy.punkVal) copy.punkVal->AddRef();
      break;
    case VT_DISPATCH:
      if (copy.pdispVal) copy.pdispVal->AddRef();
      break;
    default:
      break;
  }
  *dest = copy;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* source, USHORT flags, VARTYPE vt) {
  if (!dest || !source) return E_INVALIDARG;
  if (!IsKnownType(source->vt)) return DISP_E_BADVARTYPE;
  // The value to convert, by value; a by-reference variant is read through.
  VARIANT value = *source;
  for (int depth = 0; value.vt & VT_BYREF; ++depth) {
    if (depth > 4) return DISP_E_TYPEMISMATCH;
    if (value.vt == (VT_BYREF | VT_VARIANT)) {
      if (!value.pvarVal) return E_INVALIDARG;
      value = *value.pvarVal;
      if (!IsKnownType(value.vt)) return DISP_E_BADVARTYPE;
      continue;
    }
    VARIANT plain;
    HRESULT hr = Dereference(value, &plain);
    if (FAILED(hr)) return hr;
    value = plain;
  }
  VARIANT result;
  HRESULT hr = Convert(value, flags, vt, &result);
  if (FAILED(hr)) return hr;
  // `dest` may be `source`: the result is complete before `dest` is cleared.
  VariantClear(dest);
  *dest = result;
  return S_OK;
}
