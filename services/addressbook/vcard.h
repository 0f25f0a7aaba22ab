// Reading contacts from vCard text (versions 2.1, 3.0 and 4.0).
//
// The reader works on bytes in memory and touches no file, so that it can be
// tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "services/addressbook/text_decoding.h"

namespace vorn_wab {

// One contact as the address book lists it. Each field is UTF-8 text without
// NUL bytes; an empty field means that the card gives none.
struct Contact {
  // FN; else the name composed from N as a person writes it (prefix, given,
  // additional, family, suffix, separated by single spaces); else the e-mail.
  std::string displayName;
  // The first NICKNAME value.
  std::string nickname;
  // The preferred EMAIL (the lowest PREF rank, a bare PREF or TYPE=pref
  // counting as rank 1); else the first.
  std::string email;

  bool operator==(const Contact&) const = default;
};

// Bounds that keep hostile input from taking unbounded memory.
struct VCardLimits {
  // The longest unfolded line kept. A longer FN, N, NICKNAME, EMAIL or
  // VERSION line makes its card unreadable; any other longer line is ignored.
  size_t maxLineBytes = 256 * 1024;
  // The largest card, counted in input bytes from BEGIN to END; a larger one
  // is unreadable.
  size_t maxCardBytes = 16 * 1024 * 1024;
};

struct VCardReadStats {
  size_t cards = 0;    // cards read, one contact each
  size_t skipped = 0;  // cards that could not be read
};

// Reads vCard text. Keeps character set converters open between calls, so one
// reader serves many files quickly. Not safe for use from two threads at once.
class VCardReader {
 public:
  explicit VCardReader(const VCardLimits& limits = {}) : limits_(limits) {}
  VCardReader(const VCardReader&) = delete;
  VCardReader& operator=(const VCardReader&) = delete;

  // Appends one contact per card of `text` (the bytes of a .vcf file) to
  // *contacts, in order. Text outside BEGIN:VCARD ... END:VCARD is ignored.
  // A card that cannot be read is skipped and reading goes on after it: a
  // card without END:VCARD before the next BEGIN:VCARD or the end of the
  // text, a VERSION other than 2.1, 3.0 and 4.0, or a card over the limits.
  // Tolerated without skipping: a line without a colon (ignored), a card
  // without VERSION (read as 3.0), an unknown CHARSET (the value read as
  // UTF-8), invalid bytes (each becomes U+FFFD).
  //
  // Lines are unfolded as the card's VERSION says (2.1 keeps the leading
  // white space of a continuation line, 3.0 and 4.0 drop one character); lines
  // before VERSION are read as 3.0. Quoted-printable values (ENCODING=
  // QUOTED-PRINTABLE or a bare QUOTED-PRINTABLE parameter) continue over soft
  // line breaks. Values are decoded to UTF-8 from their CHARSET; 2.1 text
  // without CHARSET that is not valid UTF-8 is read as windows-1252. A UTF-8
  // byte order mark is skipped and UTF-16 text with a byte order mark is read
  // as such.
  VCardReadStats Read(std::string_view text, std::vector<Contact>* contacts);

 private:
  VCardLimits limits_;
  CharsetConverter converter_;
};

}  // namespace vorn_wab
