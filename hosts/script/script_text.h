// Text between the script engine and the rest of the system.
//
// The engine keeps strings as extended UTF-8: a character outside the Basic
// Multilingual Plane is either one 4-byte sequence or, when a script built it
// from two \u escapes, a surrogate pair encoded as two 3-byte sequences
// (CESU-8). The rest of the system speaks standard UTF-8, where surrogates
// never appear. These two functions convert between the forms; neither fails
// and neither drops text: what cannot be represented becomes U+FFFD.
#pragma once

#include <cstddef>
#include <string>

namespace vornhost {

// Standard UTF-8 from engine text: surrogate pairs are joined into one 4-byte
// sequence, a lone surrogate or an invalid byte becomes U+FFFD, and embedded
// NUL bytes are kept.
std::string EngineToUtf8(const char* text, size_t length);

// Engine text from UTF-8: every character above U+FFFF becomes a surrogate
// pair (two 3-byte sequences), so that the script sees the length and
// character codes that JavaScript defines; invalid bytes become U+FFFD.
std::string Utf8ToEngine(const char* text, size_t length);

// The same conversions between engine text and UTF-16 units, for automation
// strings, without a detour through UTF-8. EngineToUtf16 appends to *out
// exactly the UTF-16 form of EngineToUtf8(text, length); Utf16ToEngine
// appends exactly Utf8ToEngine of the UTF-8 form of the units, in which an
// unpaired surrogate is U+FFFD.
void EngineToUtf16(const char* text, size_t length, std::u16string* out);
void Utf16ToEngine(const char16_t* units, size_t count, std::string* out);

// True when every byte of `text` is below 0x80: such text reads the same as
// engine text, UTF-8 and, unit for byte, UTF-16.
bool IsAscii(const char* text, size_t length);

}  // namespace vornhost
