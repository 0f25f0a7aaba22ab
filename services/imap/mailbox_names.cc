#include "services/imap/mailbox_names.h"

#include <cstdint>

#include "runtime/text.h"

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
  if (!vorn_rt::IsValidUtf8(name)) return false;
  std::vector<uint16_t> run;
  size_t at = 0;
  while (at < name.size()) {
    char32_t cp = 0;
    at += vorn_rt::DecodeUtf8(name, at, &cp);
    if (cp >= 0x20 && cp <= 0x7E) {
      FlushRun(&run, out);
      out->push_back(static_cast<char>(cp));
      if (cp == '&') out->push_back('-');
    } else {
      char16_t units[2];
      size_t count = vorn_rt::EncodeUtf16(cp, units);
      run.insert(run.end(), units, units + count);
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
        vorn_rt::AppendUtf8(0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00), &out);
        high = 0;
      } else if (unit >= 0xD800 && unit <= 0xDBFF) {
        high = unit;
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return std::string(encoded);
      } else {
        vorn_rt::AppendUtf8(unit, &out);
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
