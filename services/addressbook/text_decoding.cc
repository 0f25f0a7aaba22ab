#include "services/addressbook/text_decoding.h"

#include <cerrno>
#include <iconv.h>

#include "runtime/text.h"

namespace vorn_wab {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

using vorn_rt::HexDigitValue;
using vorn_rt::Utf8SequenceLength;

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+' || c == '-') return 62;  // "-" and "_": the URL-safe alphabet
  if (c == '/' || c == '_') return 63;
  return -1;
}

// Upper-cases a charset name; false when it holds characters no charset name
// has (which also keeps conversion suffixes such as "//TRANSLIT" out).
bool NormaliseCharsetName(std::string_view name, std::string* out) {
  if (name.empty() || name.size() > 64) return false;
  out->clear();
  for (char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.' || c == ':' || c == '(' || c == ')';
    if (!ok) return false;
    out->push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  }
  return true;
}

}  // namespace

void AppendSanitizedUtf8(std::string_view bytes, std::string* out) {
  size_t i = 0;
  size_t runStart = 0;  // start of the valid run not yet appended
  while (i < bytes.size()) {
    const size_t length = bytes[i] == '\0' ? 0 : Utf8SequenceLength(bytes, i);
    if (length == 0) {
      out->append(bytes.substr(runStart, i - runStart));
      out->append(kReplacement);
      ++i;
      runStart = i;
    } else {
      i += length;
    }
  }
  out->append(bytes.substr(runStart));
}

std::string DecodeQuotedPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '=') {
      out.push_back(c);
      continue;
    }
    if (i + 1 == text.size()) break;  // a soft break with nothing after it
    if (text[i + 1] == '\n') {
      i += 1;
      continue;
    }
    if (i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n') {
      i += 2;
      continue;
    }
    if (text[i + 1] == '\r') {
      i += 1;
      continue;
    }
    if (i + 2 < text.size()) {
      const int high = HexDigitValue(text[i + 1]);
      const int low = HexDigitValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(c);
  }
  return out;
}

std::string DecodeBase64(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    const int value = Base64Value(c);
    if (value < 0) continue;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

CharsetConverter::~CharsetConverter() {
  for (auto& [name, handle] : open_) {
    if (handle) iconv_close(static_cast<iconv_t>(handle));
  }
}

void* CharsetConverter::Converter(const std::string& name, bool* cached) {
  for (const auto& [openName, handle] : open_) {
    if (openName == name) {
      *cached = true;
      return handle;
    }
  }
  iconv_t cd = iconv_open("UTF-8", name.c_str());
  void* handle = cd == kNoConverter ? nullptr : static_cast<void*>(cd);
  // Input may name any number of charsets; only the first few stay open.
  *cached = open_.size() < kMaxOpenConverters;
  if (*cached) open_.emplace_back(name, handle);
  return handle;
}

bool CharsetConverter::AppendUtf8(std::string_view bytes, std::string_view charset,
                                  std::string* out) {
  std::string name;
  if (!NormaliseCharsetName(charset, &name)) return false;
  if (name == "UTF-8" || name == "UTF8") {
    AppendSanitizedUtf8(bytes, out);
    return true;
  }
  bool cached = false;
  void* handle = Converter(name, &cached);
  if (!handle) return false;
  iconv_t cd = static_cast<iconv_t>(handle);
  struct CloseUncached {
    iconv_t cd;
    bool cached;
    ~CloseUncached() {
      if (!cached) iconv_close(cd);
    }
  } closer{cd, cached};

  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
  scratch_.clear();
  char buffer[1024];
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  bool flushed = false;
  while (!flushed) {
    char* outPos = buffer;
    size_t outLeft = sizeof buffer;
    size_t result;
    if (inLeft > 0) {
      result = iconv(cd, &in, &inLeft, &outPos, &outLeft);
    } else {
      result = iconv(cd, nullptr, nullptr, &outPos, &outLeft);
      flushed = result != static_cast<size_t>(-1);
    }
    const size_t produced = static_cast<size_t>(outPos - buffer);
    scratch_.append(buffer, produced);
    if (result != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG && produced > 0) continue;
    if (errno == EILSEQ && inLeft > 0) {
      scratch_.append(kReplacement);
      ++in;
      --inLeft;
      continue;
    }
    // An incomplete sequence at the end, or no progress at all.
    scratch_.append(kReplacement);
    break;
  }
  AppendSanitizedUtf8(scratch_, out);
  return true;
}

}  // namespace vorn_wab
