// UTF-16 <-> UTF-8 conversion for the system code page, and UTF-16 <->
// Windows-1252.
//
// Malformed input is replaced, never refused: an unpaired surrogate becomes
// U+FFFD, and so does each maximal ill-formed part of a UTF-8 sequence (a
// stray continuation byte, a truncated sequence, an overlong form, an encoded
// surrogate, a value above U+10FFFF). Both directions write through a bounded
// sink, so a short output buffer is detected instead of overrun.

#include <cstring>

#include "platform/codepage.h"
#include "runtime/text.h"

namespace {

using vorn_rt::IsHighSurrogate;
using vorn_rt::IsLowSurrogate;
constexpr char32_t kReplacement = vorn_rt::kReplacementCharacter;

bool IsSupportedCodePage(UINT codePage) {
  return codePage == CP_ACP || codePage == CP_UTF8 || codePage == CP_WINDOWS_1252;
}

// Windows-1252 0x80..0x9F; the five bytes it leaves undefined are their C1
// controls, so that every byte has a character and back.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t FromWindows1252(unsigned char byte) {
  return byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : byte;
}

// The Windows-1252 byte of `c`; false when the code page lacks it.
bool ToWindows1252(char32_t c, char* byte) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
    *byte = static_cast<char>(c);
    return true;
  }
  for (int i = 0; i < 32; ++i) {
    if (kWindows1252High[i] == c) {
      *byte = static_cast<char>(0x80 + i);
      return true;
    }
  }
  return false;
}

// Counts what would be written and writes it while it fits. With a null
// buffer it only counts.
template <class Unit>
class Sink {
 public:
  Sink(Unit* out, int capacity) : out_(out), capacity_(out ? capacity : 0) {}

  void Put(Unit unit) {
    if (out_) {
      if (count_ < capacity_) {
        out_[count_] = unit;
      } else {
        overflow_ = true;
      }
    }
    ++count_;
  }

  // True once the output did not fit or the count can no longer be reported;
  // conversion stops there and the function returns 0.
  bool Full() const { return overflow_ || count_ > kMaxCount; }
  int Result() const { return static_cast<int>(count_); }

 private:
  static constexpr long long kMaxCount = 0x7FFFFFFF - 4;
  Unit* out_;
  long long capacity_;
  long long count_ = 0;
  bool overflow_ = false;
};

void PutUtf8(Sink<char>& sink, char32_t c) {
  char bytes[4];
  const size_t n = vorn_rt::EncodeUtf8(c, bytes);
  for (size_t i = 0; i < n; ++i) sink.Put(bytes[i]);
}

void PutUtf16(Sink<WCHAR>& sink, char32_t c) {
  char16_t units[2];
  const size_t n = vorn_rt::EncodeUtf16(c, units);
  for (size_t i = 0; i < n; ++i) sink.Put(units[i]);
}

}  // namespace

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int cchWide, LPSTR multi,
                        int cbMulti, LPCSTR defaultChar, BOOL* usedDefaultChar) {
  if (usedDefaultChar) *usedDefaultChar = FALSE;
  if (!IsSupportedCodePage(codePage) || !wide || cchWide == 0 || cchWide < -1 || cbMulti < 0 ||
      (cbMulti > 0 && !multi)) {
    return 0;
  }
  const bool strict = (flags & WC_ERR_INVALID_CHARS) != 0;
  size_t length;
  if (cchWide == -1) {
    length = 0;
    while (wide[length] != 0) ++length;
    ++length;  // the zero unit is converted too
  } else {
    length = static_cast<size_t>(cchWide);
  }
  Sink<char> sink(cbMulti > 0 ? multi : nullptr, cbMulti);
  for (size_t i = 0; i < length && !sink.Full(); ++i) {
    char32_t c = wide[i];
    if (IsHighSurrogate(c)) {
      if (i + 1 < length && IsLowSurrogate(wide[i + 1])) {
        c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(wide[i + 1]) - 0xDC00);
        ++i;
      } else {
        if (strict) return 0;
        c = kReplacement;
      }
    } else if (IsLowSurrogate(c)) {
      if (strict) return 0;
      c = kReplacement;
    }
    if (codePage == CP_WINDOWS_1252) {
      char byte;
      if (!ToWindows1252(c, &byte)) {
        byte = defaultChar && *defaultChar ? *defaultChar : '?';
        if (usedDefaultChar) *usedDefaultChar = TRUE;
      }
      sink.Put(byte);
      continue;
    }
    PutUtf8(sink, c);
  }
  return sink.Full() ? 0 : sink.Result();
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multi, int cbMulti, LPWSTR wide,
                        int cchWide) {
  if (!IsSupportedCodePage(codePage) || !multi || cbMulti == 0 || cbMulti < -1 || cchWide < 0 ||
      (cchWide > 0 && !wide)) {
    return 0;
  }
  const size_t length =
      cbMulti == -1 ? std::strlen(multi) + 1 : static_cast<size_t>(cbMulti);
  const auto* in = reinterpret_cast<const unsigned char*>(multi);
  Sink<WCHAR> sink(cchWide > 0 ? wide : nullptr, cchWide);
  size_t i = 0;
  while (i < length && !sink.Full()) {
    if (codePage == CP_WINDOWS_1252) {
      sink.Put(static_cast<WCHAR>(FromWindows1252(in[i++])));
      continue;
    }
    char32_t c;
    const size_t used =
        vorn_rt::DecodeUtf8(std::string_view(multi, length), i, &c);
    // A replacement, unless the input spells U+FFFD out (EF BF BD, the only
    // whole three-byte sequence with lead EF that decodes to it).
    const bool replaced = c == kReplacement && !(used == 3 && in[i] == 0xEF);
    if ((flags & MB_ERR_INVALID_CHARS) && replaced) return 0;
    i += used;
    PutUtf16(sink, c);
  }
  return sink.Full() ? 0 : sink.Result();
}
