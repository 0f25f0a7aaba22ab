#include "hosts/script/script_text.h"

#include <cstdint>

namespace vornhost {
namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// Decodes one character of extended UTF-8 at text[*pos] and advances *pos.
// Surrogate code points are returned as they are (the caller pairs them);
// anything malformed yields U+FFFD and consumes one byte.
uint32_t Decode(const char* text, size_t length, size_t* pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(text) + *pos;
  const size_t left = length - *pos;
  const unsigned char lead = p[0];
  size_t count;
  uint32_t cp;
  uint32_t minimum;
  if (lead < 0x80) {
    *pos += 1;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    count = 2;
    cp = lead & 0x1F;
    minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    count = 3;
    cp = lead & 0x0F;
    minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    count = 4;
    cp = lead & 0x07;
    minimum = 0x10000;
  } else {
    *pos += 1;
    return kReplacement;
  }
  if (left < count) {
    *pos += 1;
    return kReplacement;
  }
  for (size_t i = 1; i < count; ++i) {
    if ((p[i] & 0xC0) != 0x80) {
      *pos += 1;
      return kReplacement;
    }
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF) {
    *pos += 1;
    return kReplacement;
  }
  *pos += count;
  return cp;
}

bool IsHighSurrogate(uint32_t cp) { return cp >= 0xD800 && cp <= 0xDBFF; }
bool IsLowSurrogate(uint32_t cp) { return cp >= 0xDC00 && cp <= 0xDFFF; }

// Appends `cp` encoded in 1 to 4 bytes; surrogates are encoded as 3 bytes
// like any other BMP code point (the engine's form for them).
void Encode(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::string EngineToUtf8(const char* text, size_t length) {
  std::string out;
  out.reserve(length);
  size_t pos = 0;
  while (pos < length) {
    uint32_t cp = Decode(text, length, &pos);
    if (IsHighSurrogate(cp)) {
      size_t next = pos;
      const uint32_t low = next < length ? Decode(text, length, &next) : 0;
      if (IsLowSurrogate(low)) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        pos = next;
      } else {
        cp = kReplacement;
      }
    } else if (IsLowSurrogate(cp)) {
      cp = kReplacement;
    }
    Encode(cp, &out);
  }
  return out;
}

std::string Utf8ToEngine(const char* text, size_t length) {
  std::string out;
  out.reserve(length + length / 2);
  size_t pos = 0;
  while (pos < length) {
    uint32_t cp = Decode(text, length, &pos);
    if (IsHighSurrogate(cp) || IsLowSurrogate(cp)) cp = kReplacement;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      Encode(0xD800 + (cp >> 10), &out);
      Encode(0xDC00 + (cp & 0x3FF), &out);
    } else {
      Encode(cp, &out);
    }
  }
  return out;
}

void EngineToUtf16(const char* text, size_t length, std::u16string* out) {
  out->reserve(out->size() + length);
  size_t pos = 0;
  while (pos < length) {
    uint32_t cp = Decode(text, length, &pos);
    if (IsHighSurrogate(cp)) {
      size_t next = pos;
      const uint32_t low = next < length ? Decode(text, length, &next) : 0;
      if (IsLowSurrogate(low)) {
        out->push_back(static_cast<char16_t>(cp));
        out->push_back(static_cast<char16_t>(low));
        pos = next;
        continue;
      }
      cp = kReplacement;
    } else if (IsLowSurrogate(cp)) {
      cp = kReplacement;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(cp));
    }
  }
}

void Utf16ToEngine(const char16_t* units, size_t count, std::string* out) {
  out->reserve(out->size() + count + count / 2);
  for (size_t i = 0; i < count; ++i) {
    uint32_t unit = units[i];
    if (IsHighSurrogate(unit) && i + 1 < count && IsLowSurrogate(units[i + 1])) {
      Encode(unit, out);
      Encode(units[++i], out);
      continue;
    }
    if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) unit = kReplacement;
    Encode(unit, out);
  }
}

bool IsAscii(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  }
  return true;
}

}  // namespace vornhost
