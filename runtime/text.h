// Text helpers shared by the whole tree: UTF-8 validation and decoding,
// UTF-16 <-> UTF-8, ASCII case-insensitive comparison, and FILETIME ticks.
//
// Ill-formed input is replaced, never refused and never a crash: each
// maximal ill-formed part of a UTF-8 sequence (a stray continuation byte, a
// truncated sequence, an overlong form, an encoded surrogate, a value above
// U+10FFFF) and each unpaired UTF-16 surrogate becomes U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace vorn_rt {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// --- UTF-8 ------------------------------------------------------------------

// The length of the well-formed UTF-8 sequence that starts at text[pos]
// (1 for ASCII), 0 when none starts there or pos is past the end.
VORN_API size_t Utf8SequenceLength(std::string_view text, size_t pos);

// Decodes the code point at text[pos] (pos < text.size()) into *c and
// returns the bytes it used, at least one. Ill-formed input gives U+FFFD and
// uses the maximal ill-formed part.
VORN_API size_t DecodeUtf8(std::string_view text, size_t pos, char32_t* c);

// True when all of `text` is well-formed UTF-8.
VORN_API bool IsValidUtf8(std::string_view text);

// Writes the UTF-8 form of `c` to out[0..4) and returns its length (a
// surrogate or a value above U+10FFFF is written as U+FFFD).
VORN_API size_t EncodeUtf8(char32_t c, char out[4]);
// Appends the UTF-8 form of `c` (as EncodeUtf8 writes it).
VORN_API void AppendUtf8(char32_t c, std::string* out);

// `text` with each ill-formed part replaced by U+FFFD.
VORN_API std::string ValidUtf8(std::string_view text);

// The character of a Windows-1252 byte; the five bytes the code page leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) are their C1 controls.
VORN_API char16_t FromWindows1252(unsigned char byte);

// --- UTF-16 -----------------------------------------------------------------

inline bool IsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
inline bool IsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Decodes the code point at text[pos] (pos < text.size()); returns the units
// it used (1 or 2). An unpaired surrogate gives U+FFFD.
VORN_API size_t DecodeUtf16(std::u16string_view text, size_t pos, char32_t* c);

// Writes the UTF-16 form of `c` to out[0..2) and returns its length in units
// (as for EncodeUtf8).
VORN_API size_t EncodeUtf16(char32_t c, char16_t out[2]);
VORN_API void AppendUtf16(char32_t c, std::u16string* out);

VORN_API std::u16string Utf8ToUtf16(std::string_view text);
VORN_API std::string Utf16ToUtf8(std::u16string_view text);
// The same for a zero-terminated text; null gives "".
VORN_API std::string Utf16ToUtf8(const char16_t* text);

// --- ASCII case ---------------------------------------------------------------

constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// `text` with A-Z lowered; other bytes (UTF-8 among them) unchanged.
VORN_API std::string AsciiLowered(std::string_view text);

// Compares as if A-Z were a-z: negative, 0 or positive, in byte order.
VORN_API int CompareNoCase(std::string_view a, std::string_view b);
inline bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareNoCase(a, b) == 0;
}
inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

// The value of a hexadecimal digit of either case, -1 for any other byte.
constexpr int HexDigitValue(char c) {
  return c >= '0' && c <= '9'   ? c - '0'
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
         : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                : -1;
}

// --- FILETIME -------------------------------------------------------------------

// A FILETIME counts 100-ns ticks since 1601-01-01 00:00 UTC.
inline constexpr uint64_t kTicksPerSecond = 10'000'000;
inline constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;

constexpr uint64_t TicksOf(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}
constexpr FILETIME FileTimeOf(uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// The ticks of now (defined beside the system clock, in systime.cc).
VORN_API uint64_t NowTicks();

// Ticks of a Unix time. Times before 1601 give 0; times after
// 9999-12-31 23:59:59 are taken as that second.
VORN_API uint64_t TicksFromUnixSeconds(int64_t seconds, uint32_t nanoseconds = 0);
// The Unix time of `ticks`: whole seconds (negative before 1970), and the
// rest in *nanoseconds (may be null).
VORN_API int64_t UnixSecondsFromTicks(uint64_t ticks, uint32_t* nanoseconds = nullptr);

}  // namespace vorn_rt
