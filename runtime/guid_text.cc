// Class identifiers as text: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".

#include <cstring>

#include "platform/runtime.h"
#include "runtime/text.h"

namespace {

constexpr int kGuidTextLength = 38;  // without the NUL
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Appends `count` hexadecimal digits of `value`, most significant first.
char* PutHex(char* out, uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) *out++ = kHexDigits[(value >> (4 * i)) & 0xF];
  return out;
}

// Reads `count` hexadecimal digits at `text`; false when one is not a digit.
bool GetHex(const char* text, int count, uint32_t* value) {
  uint32_t result = 0;
  for (int i = 0; i < count; ++i) {
    int digit = vorn_rt::HexDigitValue(text[i]);
    if (digit < 0) return false;
    result = (result << 4) | static_cast<uint32_t>(digit);
  }
  *value = result;
  return true;
}

}  // namespace

int StringFromGUID2(REFGUID guid, LPSTR text, int cchMax) {
  if (!text || cchMax < kGuidTextLength + 1) return 0;
  char* out = text;
  *out++ = '{';
  out = PutHex(out, guid.Data1, 8);
  *out++ = '-';
  out = PutHex(out, guid.Data2, 4);
  *out++ = '-';
  out = PutHex(out, guid.Data3, 4);
  *out++ = '-';
  out = PutHex(out, guid.Data4[0], 2);
  out = PutHex(out, guid.Data4[1], 2);
  *out++ = '-';
  for (int i = 2; i < 8; ++i) out = PutHex(out, guid.Data4[i], 2);
  *out++ = '}';
  *out = '\0';
  return kGuidTextLength + 1;
}

HRESULT CLSIDFromString(LPCSTR text, LPCLSID clsid) {
  if (!clsid) return E_INVALIDARG;
  if (!text) return CO_E_CLASSSTRING;
  // Reads at most kGuidTextLength + 1 bytes: a shorter text ends at its NUL,
  // which fails the digit or punctuation test where it stands.
  if (strnlen(text, kGuidTextLength + 1) != kGuidTextLength) return CO_E_CLASSSTRING;
  if (text[0] != '{' || text[9] != '-' || text[14] != '-' || text[19] != '-' ||
      text[24] != '-' || text[37] != '}') {
    return CO_E_CLASSSTRING;
  }
  GUID result{};
  uint32_t field = 0;
  if (!GetHex(text + 1, 8, &field)) return CO_E_CLASSSTRING;
  result.Data1 = field;
  if (!GetHex(text + 10, 4, &field)) return CO_E_CLASSSTRING;
  result.Data2 = static_cast<uint16_t>(field);
  if (!GetHex(text + 15, 4, &field)) return CO_E_CLASSSTRING;
  result.Data3 = static_cast<uint16_t>(field);
  for (int i = 0; i < 2; ++i) {
    if (!GetHex(text + 20 + 2 * i, 2, &field)) return CO_E_CLASSSTRING;
    result.Data4[i] = static_cast<uint8_t>(field);
  }
  for (int i = 0; i < 6; ++i) {
    if (!GetHex(text + 25 + 2 * i, 2, &field)) return CO_E_CLASSSTRING;
    result.Data4[2 + i] = static_cast<uint8_t>(field);
  }
  *clsid = result;
  return S_OK;
}
