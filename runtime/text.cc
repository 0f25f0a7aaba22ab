#include "runtime/text.h"

namespace vorn_rt {
namespace {

constexpr int64_t kLastUnixSecond = 253'402'300'799;  // 9999-12-31 23:59:59

// The number of continuation bytes after `lead` and the range of the first
// of them; false for a byte that starts no sequence of two or more bytes.
bool LeadByte(unsigned char lead, size_t* needed, unsigned char* low, unsigned char* high,
              char32_t* value) {
  *low = 0x80;
  *high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    *needed = 1;
    *value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    *needed = 2;
    *value = lead & 0x0F;
    if (lead == 0xE0) *low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) *high = 0x9F;  // UTF-16 surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    *needed = 3;
    *value = lead & 0x07;
    if (lead == 0xF0) *low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) *high = 0x8F;  // above U+10FFFF
  } else {
    // A continuation byte without a lead, C0/C1 (always overlong) or F5..FF.
    return false;
  }
  return true;
}

}  // namespace

size_t DecodeUtf8(std::string_view text, size_t pos, char32_t* c) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    *c = lead;
    return 1;
  }
  size_t needed;
  unsigned char low, high;
  char32_t value;
  if (!LeadByte(lead, &needed, &low, &high, &value)) {
    *c = kReplacementCharacter;
    return 1;
  }
  size_t used = 1;
  for (size_t i = 0; i < needed; ++i) {
    if (pos + used >= text.size() || byte(pos + used) < low || byte(pos + used) > high) {
      *c = kReplacementCharacter;
      return used;
    }
    value = (value << 6) | (byte(pos + used) & 0x3F);
    ++used;
    low = 0x80;
    high = 0xBF;
  }
  *c = value;
  return used;
}

size_t Utf8SequenceLength(std::string_view text, size_t pos) {
  if (pos >= text.size()) return 0;
  const unsigned char lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return 1;
  char32_t c;
  const size_t used = DecodeUtf8(text, pos, &c);
  // U+FFFD itself is the one well-formed sequence that decodes to it.
  if (c == kReplacementCharacter && !(used == 3 && lead == 0xEF)) return 0;
  return used;
}

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t length = Utf8SequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

size_t EncodeUtf8(char32_t c, char out[4]) {
  if (IsHighSurrogate(c) || IsLowSurrogate(c) || c > 0x10FFFF) c = kReplacementCharacter;
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

void AppendUtf8(char32_t c, std::string* out) {
  char bytes[4];
  out->append(bytes, EncodeUtf8(c, bytes));
}

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t length = Utf8SequenceLength(text, i);
    if (length > 0) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      char32_t c;
      i += DecodeUtf8(text, i, &c);
      AppendUtf8(kReplacementCharacter, &out);
    }
  }
  return out;
}

size_t DecodeUtf16(std::u16string_view text, size_t pos, char32_t* c) {
  const char32_t unit = text[pos];
  if (IsHighSurrogate(unit) && pos + 1 < text.size() && IsLowSurrogate(text[pos + 1])) {
    *c = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<char32_t>(text[pos + 1]) - 0xDC00);
    return 2;
  }
  *c = IsHighSurrogate(unit) || IsLowSurrogate(unit) ? kReplacementCharacter : unit;
  return 1;
}

size_t EncodeUtf16(char32_t c, char16_t out[2]) {
  if (IsHighSurrogate(c) || IsLowSurrogate(c) || c > 0x10FFFF) c = kReplacementCharacter;
  if (c < 0x10000) {
    out[0] = static_cast<char16_t>(c);
    return 1;
  }
  c -= 0x10000;
  out[0] = static_cast<char16_t>(0xD800 | (c >> 10));
  out[1] = static_cast<char16_t>(0xDC00 | (c & 0x3FF));
  return 2;
}

void AppendUtf16(char32_t c, std::u16string* out) {
  char16_t units[2];
  out->append(units, EncodeUtf16(c, units));
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t c;
    i += DecodeUtf8(text, i, &c);
    AppendUtf16(c, &out);
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t c;
    i += DecodeUtf16(text, i, &c);
    AppendUtf8(c, &out);
  }
  return out;
}

std::string Utf16ToUtf8(const char16_t* text) {
  return text ? Utf16ToUtf8(std::u16string_view(text)) : std::string();
}

std::string AsciiLowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(AsciiLower(a[i]));
    const auto y = static_cast<unsigned char>(AsciiLower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

uint64_t TicksFromUnixSeconds(int64_t seconds, uint32_t nanoseconds) {
  if (seconds < -kSecondsFrom1601To1970) return 0;
  if (seconds > kLastUnixSecond) seconds = kLastUnixSecond;
  return static_cast<uint64_t>(seconds + kSecondsFrom1601To1970) * kTicksPerSecond +
         nanoseconds % 1'000'000'000u / 100;
}

int64_t UnixSecondsFromTicks(uint64_t ticks, uint32_t* nanoseconds) {
  if (nanoseconds) *nanoseconds = static_cast<uint32_t>(ticks % kTicksPerSecond * 100);
  return static_cast<int64_t>(ticks / kTicksPerSecond) - kSecondsFrom1601To1970;
}

}  // namespace vorn_rt
