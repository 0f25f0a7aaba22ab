#include "services/mime/text_codec.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdint>

#include "services/mime/gmime_support.h"

namespace vorn_mime {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

// The end of the run of ASCII characters other than NUL that starts at
// `s[i]`, looked at eight bytes at a time: most mail text is such a run.
size_t AsciiRunEnd(std::string_view s, size_t i) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  while (i + 8 <= s.size()) {
    uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if ((word & kHighs) != 0 || ((word - kOnes) & ~word & kHighs) != 0) break;
    i += 8;
  }
  while (i < s.size() && s[i] != '\0' && static_cast<uint8_t>(s[i]) < 0x80) ++i;
  return i;
}

using vorn_rt::Utf8SequenceLength;

// The code point of the well-formed sequence at s[i].
char32_t DecodeSequence(std::string_view s, size_t i) {
  char32_t c;
  vorn_rt::DecodeUtf8(s, i, &c);
  return c;
}

// Copies `bytes` as UTF-8, invalid sequences replaced byte by byte and NULs
// dropped, until `out` would pass `maxBytes`.
void AppendSanitized(std::string_view bytes, std::string* out, size_t maxBytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    size_t run = AsciiRunEnd(bytes, i);
    if (run > i) {
      size_t room = maxBytes > out->size() ? maxBytes - out->size() : 0;
      if (run - i > room) {
        out->append(bytes.data() + i, room);
        return;
      }
      out->append(bytes.data() + i, run - i);
      i = run;
      continue;
    }
    size_t n = Utf8SequenceLength(bytes, i);
    if (n == 0) {
      if (out->size() + 3 > maxBytes) return;
      out->append(kReplacement);
      ++i;
      continue;
    }
    if (out->size() + n > maxBytes) return;
    if (bytes[i] != '\0') out->append(bytes.data() + i, n);
    i += n;
  }
}

void AppendWindows1252(std::string_view bytes, std::string* out, size_t maxBytes) {
  for (char ch : bytes) {
    auto b = static_cast<uint8_t>(ch);
    if (b == 0) continue;
    char32_t c = vorn_rt::FromWindows1252(b);
    size_t before = out->size();
    vorn_rt::AppendUtf8(c, out);
    if (out->size() > maxBytes) {
      out->resize(before);
      return;
    }
  }
}

bool IsAsciiName(const std::string& cs) {
  return cs == "us-ascii" || cs == "ascii" || cs == "us_ascii" || cs == "ansi_x3.4-1968" ||
         cs == "iso646-us";
}

bool IsUtf8Name(const std::string& cs) { return cs == "utf-8" || cs == "utf8"; }

bool IsLatin1Name(const std::string& cs) {
  return cs == "iso-8859-1" || cs == "iso8859-1" || cs == "iso_8859-1" || cs == "latin1" ||
         cs == "l1" || cs == "cp819" || cs == "ibm819" || cs == "iso-ir-100" ||
         cs == "csisolatin1" || cs == "windows-1252" || cs == "cp1252" || cs == "x-cp1252";
}

// A charset name iconv may be given: iconv reads a name without letters or
// digits as the locale's charset, and one with "//" as conversion options.
bool IsCharsetName(const std::string& cs) {
  if (cs.empty() || cs.size() > 64) return false;
  if (!((cs[0] >= 'a' && cs[0] <= 'z') || (cs[0] >= '0' && cs[0] <= '9'))) return false;
  for (char c : cs) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
              c == '.' || c == ':' || c == '+' || c == '(' || c == ')';
    if (!ok) return false;
  }
  return true;
}

// Converts through iconv; false when the charset is unknown to it.
bool AppendConverted(std::string_view bytes, const std::string& charset, std::string* out,
                     size_t maxBytes) {
  if (!IsCharsetName(charset)) return false;
  EnsureGMime();  // its iconv cache
  iconv_t cd = g_mime_iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string converted;
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char buffer[8192];
  bool flushed = false;
  while (converted.size() <= maxBytes) {
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    size_t result = inLeft > 0 ? iconv(cd, &in, &inLeft, &outPtr, &outLeft)
                               : iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    converted.append(buffer, static_cast<size_t>(outPtr - buffer));
    if (result != static_cast<size_t>(-1)) {
      if (inLeft > 0) continue;
      if (flushed) break;
      flushed = true;
      continue;
    }
    if (errno == E2BIG) continue;
    if (errno == EILSEQ && inLeft > 0) {
      converted.append(kReplacement);
      ++in;
      --inLeft;
      continue;
    }
    // A sequence cut short by the end of the text, or a failure iconv does
    // not explain: what is left cannot be read.
    if (inLeft > 0) converted.append(kReplacement);
    break;
  }
  g_mime_iconv_close(cd);
  AppendSanitized(converted, out, maxBytes);
  return true;
}

bool IsBidiControl(char32_t c) {
  return c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string TextToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  if (IsValidUtf8(bytes)) {
    AppendSanitized(bytes, &out, static_cast<size_t>(-1));
  } else {
    AppendWindows1252(bytes, &out, static_cast<size_t>(-1));
  }
  return out;
}

std::string DecodeText(std::string_view bytes, std::string_view charset, size_t maxBytes) {
  std::string cs = vorn_rt::AsciiLowered(Trim(charset));
  std::string out;
  out.reserve(bytes.size() < maxBytes ? bytes.size() : maxBytes);
  if (IsUtf8Name(cs)) {
    AppendSanitized(bytes, &out, maxBytes);
  } else if (IsLatin1Name(cs)) {
    AppendWindows1252(bytes, &out, maxBytes);
  } else if (cs.empty() || IsAsciiName(cs) || !AppendConverted(bytes, cs, &out, maxBytes)) {
    if (IsValidUtf8(bytes)) {
      AppendSanitized(bytes, &out, maxBytes);
    } else {
      AppendWindows1252(bytes, &out, maxBytes);
    }
  }
  return out;
}

void AppendUtf16(std::string_view utf8, std::string* out, size_t maxBytes) {
  auto unit = [out](char16_t u) {
    out->push_back(static_cast<char>(u & 0xFF));
    out->push_back(static_cast<char>(u >> 8));
  };
  size_t i = 0;
  while (i < utf8.size()) {
    size_t run = std::min(AsciiRunEnd(utf8, i), i + (maxBytes - std::min(maxBytes, out->size())) / 2);
    if (run > i) {
      size_t at = out->size();
      out->resize(at + 2 * (run - i));
      char* units = out->data() + at;
      for (size_t k = i; k < run; ++k) {
        *units++ = utf8[k];
        *units++ = '\0';
      }
      i = run;
      continue;
    }
    size_t n = Utf8SequenceLength(utf8, i);
    char32_t c = n ? DecodeSequence(utf8, i) : vorn_rt::kReplacementCharacter;
    i += n ? n : 1;
    size_t need = c >= 0x10000 ? 4 : 2;
    if (out->size() + need > maxBytes) return;
    if (c >= 0x10000) {
      c -= 0x10000;
      unit(static_cast<char16_t>(0xD800 + (c >> 10)));
      unit(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      unit(static_cast<char16_t>(c));
    }
  }
}

const char* UndeclaredCharset(std::string_view bytes) {
  bool sevenBit = std::all_of(bytes.begin(), bytes.end(),
                              [](char c) { return static_cast<uint8_t>(c) < 0x80; });
  if (sevenBit) return "us-ascii";
  return IsValidUtf8(bytes) ? "utf-8" : "windows-1252";
}

std::string GeneratedName(std::string_view stem, std::string_view extension, size_t maxBytes) {
  std::string text = TextToUtf8(stem);
  std::string safe;
  safe.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    size_t n = Utf8SequenceLength(text, i);
    char32_t c = DecodeSequence(text, i);
    bool unsafe =
        c == '/' || c == '\\' || c < 0x20 || (c >= 0x7F && c < 0xA0) || IsBidiControl(c);
    if (unsafe) {
      safe.push_back('_');
    } else {
      safe.append(text, i, n);
    }
    i += n;
  }
  size_t room = maxBytes > extension.size() ? maxBytes - extension.size() : 0;
  std::string name(CutAtCharacter(Trim(safe), room));
  name.append(extension);
  return name;
}

std::string_view CutAtCharacter(std::string_view utf8, size_t maxBytes) {
  if (utf8.size() <= maxBytes) return utf8;
  size_t end = maxBytes;
  while (end > 0 && (static_cast<uint8_t>(utf8[end]) & 0xC0) == 0x80) --end;
  return utf8.substr(0, end);
}

std::string ReduceToBaseName(std::string_view name, size_t maxBytes) {
  std::string text = TextToUtf8(name);
  size_t slash = text.find_last_of("/\\");
  std::string_view base = slash == std::string::npos
                              ? std::string_view(text)
                              : std::string_view(text).substr(slash + 1);
  std::string kept;
  kept.reserve(base.size());
  size_t i = 0;
  while (i < base.size()) {
    size_t n = Utf8SequenceLength(base, i);
    char32_t c = DecodeSequence(base, i);
    bool control = c < 0x20 || (c >= 0x7F && c < 0xA0) || IsBidiControl(c);
    if (!control) kept.append(base.data() + i, n);
    i += n;
  }
  std::string_view trimmed = Trim(kept);
  if (trimmed == "." || trimmed == "..") return std::string();
  return std::string(CutAtCharacter(trimmed, maxBytes));
}

}  // namespace vorn_mime
