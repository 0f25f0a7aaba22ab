// The MIME library's text conversions and its pre-parse scan.

#include <gtest/gtest.h>

#include <string>

#include "services/mime/gmime_support.h"
#include "services/mime/header_text.h"
#include "services/mime/limits.h"
#include "services/mime/structure_guard.h"
#include "services/mime/text_codec.h"

namespace {

using vorn_mime::DecodeText;
using vorn_mime::PlanParse;
using vorn_mime::ReduceToBaseName;

TEST(MimeCodec, DecodesDeclaredCharsets) {
  struct Case {
    std::string bytes;
    const char* charset;
    std::string expected;
  } cases[] = {
      {"caf\xC3\xA9", "UTF-8", "caf\xC3\xA9"},
      {"bad \xC3 \xFF end", "utf-8", "bad \xEF\xBF\xBD \xEF\xBF\xBD end"},
      {"\xED\xA0\x80", "utf-8", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
      {"caf\xE9 \x80", "iso-8859-1", "caf\xC3\xA9 \xE2\x82\xAC"},
      {"caf\xE9", "Latin1", "caf\xC3\xA9"},
      {"caf\xC3\xA9", "", "caf\xC3\xA9"},          // undeclared, valid UTF-8
      {"caf\xE9", "", "caf\xC3\xA9"},              // undeclared, not UTF-8
      {"caf\xC3\xA9", "us-ascii", "caf\xC3\xA9"},  // mislabelled
      {"caf\xE9", "x-no-such", "caf\xC3\xA9"},     // unknown
      {"caf\xE9", "\xFF\xFE", "caf\xC3\xA9"},       // not a name: never the locale's
      {"caf\xE9", "---", "caf\xC3\xA9"},
      {"caf\xE9", "utf-16//ignore", "caf\xC3\xA9"},
      {"\xF0\xD2\xC9\xD7\xC5\xD4", "koi8-r", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
      {"\x82\xA0\xFF\x82\xA2", "shift_jis", "\xE3\x81\x82\xEF\xBF\xBD\xE3\x81\x84"},
      {"\x82\xA0\x82", "shift_jis", "\xE3\x81\x82\xEF\xBF\xBD"},  // cut short
      {"+ZeVnLIqe-", "utf-7", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
      {std::string("a\0b", 3), "utf-8", "ab"},
      {std::string("a\0b", 3), "windows-1252", "ab"},
      {std::string("a\0\xE9", 3), "", "a\xC3\xA9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, DecodeText(c.bytes, c.charset, 1000)) << c.charset << " " << c.bytes;
  }
  // Long ASCII runs (read eight bytes at a time) still drop NULs and stop
  // at the limit.
  std::string run(21, 'a');
  run[13] = '\0';
  EXPECT_EQ(std::string(20, 'a'), DecodeText(run, "utf-8", 100));
  EXPECT_EQ(std::string(20, 'a'), DecodeText(run, "", 100));
  EXPECT_EQ(std::string(13, 'a'), DecodeText(std::string(20, 'a'), "utf-8", 13));
  // Output is cut at a whole character.
  EXPECT_EQ("ab", DecodeText("ab\xC3\xA9", "utf-8", 3));
  EXPECT_EQ("ab", DecodeText("ab\xE9", "latin1", 3));
  EXPECT_EQ("ab", DecodeText("ab\x82\xA0", "shift_jis", 4));
}

TEST(MimeCodec, EncodesUtf16WithoutSplittingPairs) {
  std::string out;
  vorn_mime::AppendUtf16("a\xC3\xA9\xF0\x9F\x98\x80", &out, 100);
  EXPECT_EQ(std::string("a\0\xE9\0\x3D\xD8\x00\xDE", 8), out);
  out.clear();
  vorn_mime::AppendUtf16("a\xF0\x9F\x98\x80", &out, 5);
  EXPECT_EQ(std::string("a\0", 2), out);
  out.clear();
  vorn_mime::AppendUtf16(std::string(20, 'a') + "\xC3\xA9", &out, 9);
  EXPECT_EQ(std::string("a\0a\0a\0a\0", 8), out);
  out.clear();
  vorn_mime::AppendUtf16(std::string(20, 'a') + "\xC3\xA9", &out, 100);
  EXPECT_EQ(42u, out.size());
  EXPECT_EQ(std::string("\xE9\0", 2), out.substr(40));
}

TEST(MimeCodec, ReducesNamesToSafeBaseNames) {
  struct Case {
    std::string name;
    std::string expected;
  } cases[] = {
      {"report.pdf", "report.pdf"},
      {"../../etc/passwd", "passwd"},
      {"..\\..\\win\\evil.exe", "evil.exe"},
      {"dir/", ""},
      {"..", ""},
      {" . ", ""},
      {"  spaced name.txt  ", "spaced name.txt"},
      {"a\tb\nc\x7F" "d.txt", "abcd.txt"},
      {"x\xC2\x85y", "xy"},                               // C1 control
      {"invoice\xE2\x80\xAE" "fdp.exe", "invoicefdp.exe"},  // direction override
      {"caf\xE9.txt", "caf\xC3\xA9.txt"},                 // not UTF-8: Windows-1252
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, ReduceToBaseName(c.name, 255)) << c.name;
  EXPECT_EQ("ab", ReduceToBaseName("ab\xC3\xA9", 3));
}

TEST(MimeCodec, GeneratedNamesAreSafeAndFitAtAWholeCharacter) {
  EXPECT_EQ("Re_ a_b_c_d.eml",
            vorn_mime::GeneratedName(" Re/ a\\b\tc\xE2\x80\xAE" "d ", ".eml", 255));
  // 126 two-byte characters and ".eml" pass 255 bytes: the stem loses one.
  std::string stem;
  for (int i = 0; i < 126; ++i) stem += "\xC3\xA9";
  std::string name = vorn_mime::GeneratedName(stem, ".eml", 255);
  EXPECT_EQ(stem.substr(0, 250) + ".eml", name);
}

// Dates as RFC 5322 writes them, with the obsolete years and zones, against
// instants worked out independently (FILETIME ticks).
TEST(MimeCodec, ReadsDatesFrom1601On) {
  using vorn_mime::DateReading;
  struct Case {
    const char* text;
    DateReading reading;
    uint64_t ticks;
  } cases[] = {
      {"Fri, 3 Feb 1950 14:30:00 -0500", DateReading::kDate, 110162430000000000},
      {"31 Dec 1968 23:59:59 +0000", DateReading::kDate, 116129375990000000},
      {"1 Jan 50 00:00 EST", DateReading::kDate, 110133396000000000},   // 50-99: 19xx
      {"1 Jan 49 00:00 GMT", DateReading::kDate, 141375456000000000},   // 00-49: 20xx
      {"1 Jan 105 00:00 UT", DateReading::kDate, 127490112000000000},   // three digits
      {"29 Feb 2000 12:00:00 +0000", DateReading::kDate, 125962992000000000},
      {"Mon , 3 (the third) Jan 2005 09:05 (CET) +0100", DateReading::kDate,
       127492131000000000},
      {"mon, 3 jan 2005 09:05:03 PDT", DateReading::kDate, 127492419030000000},
      {"1 Mar 1900 00:00:00 Z", DateReading::kDate, 94405824000000000},  // military: UTC
      {"31 Dec 1600 23:59:59 -0100", DateReading::kDate, 35990000000},
      {"Sun, 14 Sep 30828 02:48:05 +0000", DateReading::kDate, 9223372036850000000u},
      {"31 Dec 1600 23:59:59 +0000", DateReading::kOutOfRange, 0},
      {"1 Jan 0001 00:00:00 +0000", DateReading::kOutOfRange, 0},  // not 2001
      {"14 Sep 30828 02:48:06 +0000", DateReading::kOutOfRange, 0},
      {"1 Jan 999999999 00:00 +0000", DateReading::kOutOfRange, 0},
      {"29 Feb 1900 00:00 +0000", DateReading::kNoDate, 0},
      {"3 Foo 2005 09:05 +0000", DateReading::kNoDate, 0},
      {"3 Jan 2005 24:00 +0000", DateReading::kNoDate, 0},
      {"sometime soon", DateReading::kNoDate, 0},
      {"", DateReading::kNoDate, 0},
  };
  for (const Case& c : cases) {
    uint64_t ticks = 0;
    EXPECT_EQ(c.reading, vorn_mime::ReadDateTime(c.text, &ticks)) << c.text;
    EXPECT_EQ(c.ticks, ticks) << c.text;
  }
}

std::string Lines(const std::string& line, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += line;
  return text;
}

TEST(MimeStructureGuard, DefusesOnlyAddressFieldsWithRunawayColons) {
  GMimeParserOptions* options = vorn_mime::EnsureGMime();
  std::string colons = Lines("a:", 300);
  struct Case {
    std::string text;
    size_t ranges;
  } cases[] = {
      {"From: " + colons + "\r\n\r\nbody", 1},
      {"from : " + colons + "\r\n\r\nbody", 1},
      {"To: " + Lines("a:", 200) + "\r\n " + Lines("b:", 100) + "\r\n\r\n", 1},
      {"Resent-Cc: " + colons + "\r\n\r\n", 1},
      {"To: " + Lines("a:", 250) + "\r\n\r\n", 0},
      {"Subject: " + colons + "\r\n\r\n", 0},
      {"X-From: " + colons + "\r\n\r\n", 0},
  };
  for (const Case& c : cases) {
    vorn_mime::ParsePlan plan = PlanParse(c.text.data(), c.text.size(), options);
    ASSERT_EQ(c.ranges, plan.defuse.size()) << c.text.substr(0, 20);
    EXPECT_EQ(c.text.size(), plan.cut);
    if (c.ranges) {
      size_t colon = c.text.find(':');
      EXPECT_EQ(colon + 1, plan.defuse[0].first);
      EXPECT_EQ(c.text.find("\r\n\r\n") + 2, plan.defuse[0].second);
    }
  }
}

// Where the parse of a message must end, given its structure.
TEST(MimeStructureGuard, CutsWhereTheLimitsArePassed) {
  GMimeParserOptions* options = vorn_mime::EnsureGMime();
  auto nested = [](int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) {
      text += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\r\n\r\n";
      text += "--b" + std::to_string(i) + "\r\n";
    }
    return text + "\r\nleaf\r\n";
  };
  // nested(n) has n multipart levels and its leaf on level n + 1.
  std::string deep = nested(150);
  std::string hundred = nested(99);
  size_t level101 = hundred.size() - std::string("\r\nleaf\r\n").size() +
                    std::string("Content-Type: multipart/mixed; boundary=\"b99\"\r\n\r\n").size();
  std::string digests = "Content-Type: multipart/digest; boundary=d\r\n\r\n" +
                        Lines("--d\r\n\r\nSubject: s\r\n\r\nx\r\n", 6000) + "--d--\r\n";
  std::string flat = "Content-Type: multipart/mixed; boundary=f\r\n\r\n" +
                     Lines("--f\r\n\r\nx\r\n", 12000) + "--f--\r\n";
  // Closed multiparts give their depth back.
  std::string siblings = "Content-Type: multipart/mixed; boundary=top\r\n\r\n" +
                         Lines("--top\r\nContent-Type: multipart/mixed; boundary=in\r\n\r\n"
                               "--in\r\n\r\nx\r\n--in--\r\n",
                               3000) +
                         "--top--\r\n";
  // Dashes in text that open nothing.
  std::string dashes = "Content-Type: text/plain\r\n\r\n" + Lines("-- comment\r\n", 30000);

  struct Case {
    const char* what;
    const std::string* text;
    size_t cut;
    bool mayHaveTooManyParts;
  } cases[] = {
      // The body on level 101 would start at the boundary line of level 100.
      {"150 levels", &deep, level101, false},
      {"100 levels", &hundred, hundred.size(), false},
      // Each digest part is two bodies (the part, the message in it): the
      // 5000th part is body 10000, and the message it opens is one too many.
      {"digest", &digests,
       std::string("Content-Type: multipart/digest; boundary=d\r\n\r\n").size() +
           4999 * std::string("--d\r\n\r\nSubject: s\r\n\r\nx\r\n").size() +
           std::string("--d\r\n\r\n").size(),
       true},
      {"flat", &flat, std::string("Content-Type: multipart/mixed; boundary=f\r\n\r\n").size() +
                          9999 * std::string("--f\r\n\r\nx\r\n").size(),
       true},
      {"siblings", &siblings, siblings.size(), true},
      // Cut nowhere, but GMime's bodies are counted as it parses.
      {"dashes", &dashes, dashes.size(), true},
  };
  for (const Case& c : cases) {
    vorn_mime::ParsePlan plan = PlanParse(c.text->data(), c.text->size(), options);
    EXPECT_EQ(c.cut, plan.cut) << c.what;
    EXPECT_EQ(c.mayHaveTooManyParts, plan.mayHaveTooManyParts) << c.what;
  }
}

}  // namespace

// The text GMime is given under the plan for `text`.
std::string ParsedText(const std::string& text) {
  vorn_mime::ParsePlan plan = PlanParse(text.data(), text.size(), vorn_mime::EnsureGMime());
  GByteArray* parsed =
      vorn_mime::NewParsedText(plan, reinterpret_cast<const guint8*>(text.data()));
  if (!parsed) return text.substr(0, plan.cut);
  std::string out(reinterpret_cast<const char*>(parsed->data), parsed->len);
  g_byte_array_unref(parsed);
  return out;
}

TEST(MimeStructureGuard, KeepsHeaderFieldsWithinTheirBudget) {
  const size_t field = vorn_mime::kMaxHeaderFieldBytes;
  const int fields = static_cast<int>(vorn_mime::kMaxHeaderFields);
  const std::string fold = " " + std::string(999, 'y') + "\r\n";
  // 60,007 bytes a field: the 70th passes the header budget.
  const std::string wide = "X-A: " + std::string(60000, 'a') + "\r\n";
  const size_t left = vorn_mime::kMaxHeaderBytes - 69 * wide.size();
  const std::string multipart = "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
                                "Content-Type: text/plain\r\nX-Long: ";
  const std::string partBody = "\r\n\r\n" + std::string(100000, 'w') + "\r\n--b--\r\n";
  struct Case {
    const char* what;
    std::string text;
    std::string parsed;
  } cases[] = {
      {"long line", "Subject: " + std::string(100000, 'x') + "\r\nTo: a@b\r\n\r\nbody",
       "Subject: " + std::string(field - 9, 'x') + "\r\nTo: a@b\r\n\r\nbody"},
      {"folded", "Subject: s\r\n" + Lines(fold, 100) + "To: a\r\n\r\nbody",
       "Subject: s\r\n" + Lines(fold, 65) + " " + std::string(525, 'y') + "\r\nTo: a\r\n\r\nbody"},
      {"cut inside a character", "Subject: " + std::string(field - 10, 'x') + Lines("\xC3\xA9", 9) +
                                     "\n\nbody",
       "Subject: " + std::string(field - 10, 'x') + "\n\nbody"},
      {"name beyond the cut", std::string(field + 10, 'n') + ": v\r\nSubject: s\r\n\r\nbody",
       "Subject: s\r\n\r\nbody"},
      {"too many fields", Lines("X-A: b\r\n", fields + 10) + "Subject: s\r\n\r\nbody",
       Lines("X-A: b\r\n", fields) + "\r\nbody"},
      {"too many bytes", Lines(wide, 80) + "Subject: s\r\n\r\nbody",
       Lines(wide, 69) + "X-A: " + std::string(left - 5, 'a') + "\r\n\r\nbody"},
      {"part headers", multipart + std::string(100000, 'z') + partBody,
       multipart + std::string(field - 8, 'z') + partBody},
      // Bodies stay as they are, and so does text GMime reads without headers.
      {"long body line", "Subject: s\r\n\r\n" + std::string(100000, 'x') + "\r\n",
       "Subject: s\r\n\r\n" + std::string(100000, 'x') + "\r\n"},
      {"no header block", std::string(100000, 'x') + "\r\n" + Lines("a: b\r\n", fields + 10),
       std::string(100000, 'x') + "\r\n" + Lines("a: b\r\n", fields + 10)},
  };
  for (const Case& c : cases) {
    std::string parsed = ParsedText(c.text);
    EXPECT_EQ(c.parsed.size(), parsed.size()) << c.what;
    EXPECT_TRUE(c.parsed == parsed) << c.what;
  }
}

// Colons are read as blanks in the part of a runaway address field that is
// kept, whatever was dropped before it.
TEST(MimeStructureGuard, DefusesWhatIsKeptOfACutField) {
  const size_t field = vorn_mime::kMaxHeaderFieldBytes;
  std::string text = "Subject: " + std::string(field + 5, 's') + "\r\nFrom: " +
                     Lines("a:", 100000) + "\r\n\r\nbody";
  std::string expected = "Subject: " + std::string(field - 9, 's') + "\r\nFrom: " +
                         Lines("a ", (field - 6) / 2) + "\r\n\r\nbody";
  EXPECT_TRUE(expected == ParsedText(text));
}
