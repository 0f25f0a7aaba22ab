// Text conversions of the MIME library: body text from its declared charset
// to UTF-8, UTF-8 to UTF-16LE, display names reduced to safe base names, and
// the trimming the library applies to header text.
// Every function takes any bytes and never fails: what cannot be read is
// replaced with U+FFFD.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "runtime/text.h"

namespace vorn_mime {

// Converts `bytes` from `charset` (as declared, any case; empty when none) to
// valid UTF-8 of at most `maxBytes` bytes, cut at a whole character. NUL
// characters are dropped: text bodies cannot hold them. No charset, US-ASCII
// and an unknown charset read the bytes as UTF-8 when they are valid UTF-8,
// else as Windows-1252; ISO-8859-1 is read as Windows-1252, its superset.
// Sequences invalid in the charset become U+FFFD.
std::string DecodeText(std::string_view bytes, std::string_view charset, size_t maxBytes);

// `bytes` as they are when they are valid UTF-8, else read as Windows-1252;
// NUL characters are dropped. For names and header text of unknown charset.
std::string TextToUtf8(std::string_view bytes);

using vorn_rt::IsValidUtf8;

// Appends `utf8` (valid UTF-8) as UTF-16LE to `out`, stopping before the
// character that would make `out` longer than `maxBytes`.
void AppendUtf16(std::string_view utf8, std::string* out, size_t maxBytes);

// Reduces a file name (any bytes) to a display name: valid UTF-8, only what
// follows its last '/' or '\', without control and direction-control
// characters, trimmed of blanks, at most `maxBytes` bytes; "." and ".."
// become empty.
std::string ReduceToBaseName(std::string_view name, size_t maxBytes);

// The charset DecodeText reads `bytes` in when none is declared:
// "us-ascii" for 7-bit text, "utf-8" for valid UTF-8, else "windows-1252".
const char* UndeclaredCharset(std::string_view bytes);

// A file name made of `stem` (any bytes, read as TextToUtf8 does) and
// `extension`: '/', '\', control and direction-control characters of the
// stem become '_', blanks around it are trimmed, and it is cut at a whole
// character so that the name has at most `maxBytes` bytes.
std::string GeneratedName(std::string_view stem, std::string_view extension, size_t maxBytes);

// The longest prefix of valid UTF-8 `utf8` of at most `maxBytes` bytes that
// ends at a whole character.
std::string_view CutAtCharacter(std::string_view utf8, size_t maxBytes);

// `s` without leading and trailing spaces and tabs.
std::string_view Trim(std::string_view s);

}  // namespace vorn_mime
