// Turning the bytes of a vCard value into UTF-8 text: transfer decodings
// (quoted-printable, base64) and character sets.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/text.h"

namespace vorn_wab {

// Appends `bytes` to *out as UTF-8: each byte that does not belong to a valid
// UTF-8 sequence, and each NUL, becomes U+FFFD. Nothing is dropped.
void AppendSanitizedUtf8(std::string_view bytes, std::string* out);

// Whether `bytes` is valid UTF-8 (shortest forms, no surrogates, at most
// U+10FFFF).
using vorn_rt::IsValidUtf8;

// Quoted-printable: "=XX" (hex digits in either case) becomes that byte and
// "=" before a line break or at the very end joins the lines; any other "="
// is kept as it stands.
std::string DecodeQuotedPrintable(std::string_view text);

// Base64: characters outside the alphabet (line breaks, spaces) are skipped,
// decoding stops at the first "=". Incomplete trailing groups yield the bytes
// they complete.
std::string DecodeBase64(std::string_view text);

// Converts text in a named character set to UTF-8, keeping one converter per
// character set open for the object's lifetime (opening one is costly).
// Not safe for use from two threads at once.
class CharsetConverter {
 public:
  CharsetConverter() = default;
  ~CharsetConverter();
  CharsetConverter(const CharsetConverter&) = delete;
  CharsetConverter& operator=(const CharsetConverter&) = delete;

  // Appends `bytes`, written in `charset` (a name such as "ISO-8859-1" or
  // "windows-1252", in any case), to *out as UTF-8. Bytes that are not valid
  // in the character set become U+FFFD, as do NULs. Returns false, appending
  // nothing, when the character set is unknown or its name malformed.
  bool AppendUtf8(std::string_view bytes, std::string_view charset, std::string* out);

 private:
  static constexpr size_t kMaxOpenConverters = 8;

  // The converter for a normalised charset name; null when unknown. When
  // *cached comes back false the caller closes it after use.
  void* Converter(const std::string& name, bool* cached);

  std::vector<std::pair<std::string, void*>> open_;  // name -> iconv handle or null
  std::string scratch_;
};

}  // namespace vorn_wab
