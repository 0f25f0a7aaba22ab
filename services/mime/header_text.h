// Reading header field text: RFC 2047 encoded words and RFC 5322 dates. Both
// take any bytes and never fail on them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn_mime {

// `value` (a header field's raw value) with every run of adjacent encoded
// words, those separated by nothing but blanks and line breaks, replaced by
// one UTF-8 encoded word of the same text. Each word's payload is decoded on
// its own (B or Q, either case); the decoded bytes of neighbouring words in
// one charset are joined before they are converted, so a character split
// across two words comes out whole. Conversion follows DecodeText: unknown
// charsets read as UTF-8 or Windows-1252, NUL characters dropped. Text
// outside encoded words is kept byte for byte. The result decodes with GMime
// to the text RFC 2047 gives, in unstructured fields, address phrases and
// parameter values alike.
std::string MergeEncodedWords(std::string_view value);

enum class DateReading {
  kDate,        // *ticks holds the instant
  kOutOfRange,  // a date-time, but before 1601 or past the largest FILETIME
  kNoDate,      // not in the RFC 5322 form
};

// Reads an RFC 5322 date-time ("[Mon,] 3 Jan 2005 09:05[:03] +0100") as
// FILETIME ticks (100 ns since 1601-01-01, UTC). Comments and blanks may
// stand between the parts; the day name, the seconds and the zone may be
// missing (no zone reads as UTC). Two-digit years 00-49 are 2000-2049, 50-99
// are 1950-1999, three-digit years count from 1900; four or more digits are
// the year itself. Zone names UT, GMT, EST, EDT, CST, CDT, MST, MDT, PST and
// PDT have their offsets; any other name reads as UTC. The instant must lie
// between 1601-01-01 00:00:00 and the largest FILETIME (0x7FFFFFFFFFFFFFFF).
DateReading ReadDateTime(std::string_view text, uint64_t* ticks);

}  // namespace vorn_mime
