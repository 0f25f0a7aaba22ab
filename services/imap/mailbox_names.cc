#include "services/imap/mailbox_names.h"

#include <cstdint>

namespace vorn_imap {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == ',') return 63;
  return -1;
}

// Decodes one code point of UTF-8 at text[*at]; -1 for a bad sequence.
int32_t NextCodePoint(std::string_view text, size_t* at) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char first = byte(*at);
  int length = first < 0x80 ? 1 : (first >> 5) == 6 ? 2 : (first >> 4) == 14 ? 3
                                 : (first >> 3) == 30 ? 4 : 0;
  if (length == 0 || *at + length > text.size()) return -1;
  int32_t cp = length == 1 ? first : first & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    unsigned char next = byte(*at + i);
    if ((next & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (next & 0x3F);
  }
  static const int32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  *at += length;
  return cp;
}

void AppendUtf8(int32_t cp, std::string* out) {
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

// Writes UTF-16 units as one base64 run, "&...-".
void FlushRun(std::vector<uint16_t>* units, std::string* out) {
  if (units->empty()) return;
  out->push_back('&');
  uint32_t bits = 0;
  int count = 0;
  for (uint16_t unit : *units) {
    bits = (bits << 16) | unit;
    count += 16;
    while (count >= 6) {
      count -= 6;
      out->push_back(kBase64[(bits >> count) & 0x3F]);
    }
  }
  if (count > 0) out->push_back(kBase64[(bits << (6 - count)) & 0x3F]);
  out->push_back('-');
  units->clear();
}

}  // namespace

bool EncodeMailboxName(std::string_view name, std::string* out) {
  out->clear();
  std::vector<uint16_t> run;
  size_t at = 0;
  while (at < name.size()) {
    int32_t cp = NextCodePoint(name, &at);
    if (cp < 0) return false;
    if (cp >= 0x20 && cp <= 0x7E) {
      FlushRun(&run, out);
      out->push_back(static_cast<char>(cp));
      if (cp == '&') out->push_back('-');
    } else if (cp < 0x10000) {
      run.push_back(static_cast<uint16_t>(cp));
    } else {
      cp -= 0x10000;
      run.push_back(static_cast<uint16_t>(0xD800 | (cp >> 10)));
      run.push_back(static_cast<uint16_t>(0xDC00 | (cp & 0x3FF)));
    }
  }
  FlushRun(&run, out);
  return true;
}

std::string DecodeMailboxName(std::string_view encoded) {
  std::string out;
  size_t at = 0;
  while (at < encoded.size()) {
    char c = encoded[at];
    if (c < 0x20 || c > 0x7E) return std::string(encoded);
    if (c != '&') {
      out.push_back(c);
      ++at;
      continue;
    }
    size_t end = encoded.find('-', at + 1);
    if (end == std::string_view::npos) return std::string(encoded);
    if (end == at + 1) {
      out.push_back('&');
      at = end + 1;
      continue;
    }
    uint32_t bits = 0;
    int count = 0;
    uint16_t high = 0;
    size_t units = 0;
    for (size_t i = at + 1; i < end; ++i) {
      int value = Base64Value(encoded[i]);
      if (value < 0) return std::string(encoded);
      bits = (bits << 6) | static_cast<uint32_t>(value);
      count += 6;
      if (count < 16) continue;
      count -= 16;
      auto unit = static_cast<uint16_t>(bits >> count);
      bits &= (1u << count) - 1;
      ++units;
      if (high) {
        if (unit < 0xDC00 || unit > 0xDFFF) return std::string(encoded);
        AppendUtf8(0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00), &out);
        high = 0;
      } else if (unit >= 0xD800 && unit <= 0xDBFF) {
        high = unit;
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return std::string(encoded);
      } else {
        AppendUtf8(unit, &out);
      }
    }
    // Left-over bits must be zero padding of fewer than 6 bits.
    if (high || units == 0 || count >= 6 || bits != 0) return std::string(encoded);
    at = end + 1;
  }
  return out;
}

std::vector<std::string> SplitMailboxName(std::string_view full, char separator) {
  std::vector<std::string> parts;
  if (separator == 0) {
    parts.emplace_back(full);
    return parts;
  }
  size_t start = 0;
  while (true) {
    size_t found = full.find(separator, start);
    if (found == std::string_view::npos) {
      parts.emplace_back(full.substr(start));
      return parts;
    }
    parts.emplace_back(full.substr(start, found - start));
    start = found + 1;
  }
}

}  // namespace vorn_imap
