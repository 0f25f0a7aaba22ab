#include "services/addressbook/vcard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "services/addressbook/text_decoding.h"

namespace vorn_wab {

// Lets failures show contacts as text.
void PrintTo(const Contact& c, std::ostream* os) {
  *os << "{\"" << c.displayName << "\", \"" << c.nickname << "\", \"" << c.email << "\"}";
}

namespace {

std::vector<Contact> ReadAll(std::string_view text, VCardReadStats* stats = nullptr,
                             const VCardLimits& limits = {}) {
  VCardReader reader(limits);
  std::vector<Contact> contacts;
  const VCardReadStats result = reader.Read(text, &contacts);
  if (stats) *stats = result;
  EXPECT_EQ(result.cards, contacts.size());
  return contacts;
}

// `text` as UTF-16 with a byte order mark.
std::string Utf16(std::u16string_view text, bool bigEndian) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes += bigEndian ? high : low;
    bytes += bigEndian ? low : high;
  }
  return bytes;
}

struct ReadCase {
  const char* name;
  std::string text;
  std::vector<Contact> expected;
  size_t skipped = 0;
};

class VCardReadTest : public testing::TestWithParam<ReadCase> {};

TEST_P(VCardReadTest, GivesTheContactsOfTheCards) {
  const ReadCase& c = GetParam();
  VCardReadStats stats;
  EXPECT_EQ(ReadAll(c.text, &stats), c.expected);
  EXPECT_EQ(stats.skipped, c.skipped);
}

const ReadCase kReadCases[] = {
    {"LineEndings",
     "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Crlf\r\nEND:VCARD\r\n"
     "BEGIN:VCARD\nVERSION:3.0\nFN:Lf\nEND:VCARD\n"
     "BEGIN:VCARD\rVERSION:3.0\rFN:Cr\rEND:VCARD",
     {{"Crlf", "", ""}, {"Lf", "", ""}, {"Cr", "", ""}}},
    {"NamesAndKeywordsInAnyCase",
     "begin:vcard\nversion:3.0\nfn:Lower\nemail:l@example.org\nend:vcard \n",
     {{"Lower", "", "l@example.org"}}},
    {"TextOutsideCardsIsIgnored",
     "garbage\nFN:Not a card\nBEGIN:VCARD\nFN:Inside\nEND:VCARD\nEMAIL:stray@example.org\n",
     {{"Inside", "", ""}}},
    {"PreferredEmailByBarePref",
     "BEGIN:VCARD\nVERSION:2.1\nEMAIL;INTERNET:first@example.org\n"
     "EMAIL;INTERNET;PREF:pref@example.org\nEND:VCARD\n",
     {{"pref@example.org", "", "pref@example.org"}}},
    {"PreferredEmailByTypePref",
     "BEGIN:VCARD\nVERSION:3.0\nFN:A\nEMAIL;TYPE=INTERNET:first@example.org\n"
     "EMAIL;TYPE=INTERNET,pref:pref@example.org\nEMAIL;TYPE=pref:late@example.org\nEND:VCARD\n",
     {{"A", "", "pref@example.org"}}},
    {"PreferredEmailByLowestPrefRank",
     "BEGIN:VCARD\nVERSION:4.0\nFN:A\nEMAIL;PREF=50:fifty@example.org\n"
     "EMAIL:none@example.org\nEMAIL;PREF=3:three@example.org\nEMAIL;PREF=7:seven@example.org\n"
     "END:VCARD\n",
     {{"A", "", "three@example.org"}}},
    {"FirstEmailWithoutPreference",
     "BEGIN:VCARD\nVERSION:3.0\nFN:A\nEMAIL:\nEMAIL:one@example.org\nEMAIL:two@example.org\n"
     "END:VCARD\n",
     {{"A", "", "one@example.org"}}},
    {"GroupPrefixes",
     "BEGIN:VCARD\nVERSION:3.0\nitem1.FN:Grouped\nitem2.EMAIL;type=INTERNET:g@example.org\n"
     "item2.X-ABLabel:_$!<Other>!$_\nEND:VCARD\n",
     {{"Grouped", "", "g@example.org"}}},
    {"QuotedParameterValues",
     "BEGIN:VCARD\nVERSION:4.0\nFN:Q\nEMAIL;LABEL=\"a:b;c\";TYPE=\"work,pref\":q@example.org\n"
     "EMAIL:other@example.org\nEND:VCARD\n",
     {{"Q", "", "q@example.org"}}},
    {"NameComposedFromListValues",
     "BEGIN:VCARD\nVERSION:3.0\nN:Stevenson;John;Philip,Paul;Dr.;Jr.,M.D.\nEND:VCARD\n",
     {{"Dr. John Philip Paul Stevenson Jr. M.D.", "", ""}}},
    {"NameIn21KeepsCommas",
     "BEGIN:VCARD\nVERSION:2.1\nN:Doe;Jane,Ann;;;\nEND:VCARD\n",
     {{"Jane,Ann Doe", "", ""}}},
    {"NameWithEscapedSeparators",
     "BEGIN:VCARD\nVERSION:3.0\nN:O\\;Brien;Mary\\, Ann;;;\nEND:VCARD\n",
     {{"Mary, Ann O;Brien", "", ""}}},
    {"EmptyFnFallsBackToName",
     "BEGIN:VCARD\nVERSION:3.0\nFN:  \nN:Doe;John\nEMAIL:j@example.org\nEND:VCARD\n",
     {{"John Doe", "", "j@example.org"}}},
    {"EmptyNameFallsBackToEmail",
     "BEGIN:VCARD\nVERSION:3.0\nN:;;;;\nEMAIL:only@example.org\nEND:VCARD\n",
     {{"only@example.org", "", "only@example.org"}}},
    {"CardWithNothingStillCounts", "BEGIN:VCARD\nVERSION:3.0\nTEL:123\nEND:VCARD\n", {{"", "", ""}}},
    {"FirstNicknameValue",
     "BEGIN:VCARD\nVERSION:3.0\nFN:N\nNICKNAME:,Bobby\\, Jr,Rob\nNICKNAME:Later\nEND:VCARD\n"
     "BEGIN:VCARD\nVERSION:2.1\nFN:M\nNICKNAME:Bob, Bobby\nEND:VCARD\n",
     {{"N", "Bobby, Jr", ""}, {"M", "Bob, Bobby", ""}}},
    {"TextEscapes",
     "BEGIN:VCARD\nVERSION:3.0\nFN:Line\\nTwo\\, with \\\\ and \\; and \\q\nEND:VCARD\n",
     {{"Line\nTwo, with \\ and ; and \\q", "", ""}}},
    {"Unfolding30DropsOneSpace",
     "BEGIN:VCARD\nVERSION:3.0\nFN:Jo\n hn\n\t  Smith\nEM\n AIL:j@exa\n mple.org\nEND:VCARD\n",
     {{"John  Smith", "", "j@example.org"}}},
    {"Unfolding21KeepsTheSpace",
     "BEGIN:VCARD\nVERSION:2.1\nFN:John\n Smith\nEND:VCARD\n",
     {{"John Smith", "", ""}}},
    {"QuotedPrintableSoftBreaks",
     "BEGIN:VCARD\nVERSION:2.1\nFN;ENCODING=QUOTED-PRINTABLE;CHARSET=UTF-8:J=C3=\n=BCrgen =\n"
     " M=C3=BCller\nNOTE;QUOTED-PRINTABLE:line=\nEMAIL:not-an-email\nEMAIL:real@example.org\n"
     "END:VCARD\n",
     {{"J\xC3\xBCrgen  M\xC3\xBCller", "", "real@example.org"}}},
    {"SoftBreakNeverSwallowsEnd",
     "BEGIN:VCARD\nVERSION:2.1\nFN;QUOTED-PRINTABLE:Cut=\nEND:VCARD\n"
     "BEGIN:VCARD\nVERSION:2.1\nFN:Next\nEND:VCARD\n",
     {{"Cut", "", ""}, {"Next", "", ""}}},
    {"Base64Text",
     "BEGIN:VCARD\nVERSION:3.0\nFN;ENCODING=b:SsO8cmdlbg==\nEND:VCARD\n",
     {{"J\xC3\xBCrgen", "", ""}}},
    {"LatinCharset",
     "BEGIN:VCARD\nVERSION:2.1\nFN;CHARSET=ISO-8859-1:J\xFCrgen\nNICKNAME;CHARSET=windows-1252:\x80uro\n"
     "END:VCARD\n",
     {{"J\xC3\xBCrgen", "\xE2\x82\xAC" "uro", ""}}},
    {"ConversionBeforeEscapes",
     // 0x83 0x5C is one Shift_JIS character whose second byte is a backslash.
     "BEGIN:VCARD\nVERSION:2.1\nFN;CHARSET=SHIFT_JIS:\x83\x5C;x\nEND:VCARD\n",
     {{"\xE3\x82\xBD;x", "", ""}}},
    {"Version21WithoutCharsetReadsWindowsCodePage",
     "BEGIN:VCARD\nVERSION:2.1\nFN:Ren\xE9\nNICKNAME:Ren\xC3\xA9\nEND:VCARD\n",
     {{"Ren\xC3\xA9", "Ren\xC3\xA9", ""}}},
    {"InvalidUtf8IsReplaced",
     "BEGIN:VCARD\nVERSION:3.0\nFN:Bad\xFF" "byte\nEND:VCARD\n",
     {{"Bad\xEF\xBF\xBD" "byte", "", ""}}},
    {"NulIsReplacedNotTruncating",
     "BEGIN:VCARD\nVERSION:2.1\nFN;ENCODING=QUOTED-PRINTABLE:a=00b\nEND:VCARD\n",
     {{"a\xEF\xBF\xBD" "b", "", ""}}},
    {"UnknownCharsetReadsUtf8",
     "BEGIN:VCARD\nVERSION:2.1\nFN;CHARSET=X-NO-SUCH:\xC3\xA9t\xC3\xA9\nEND:VCARD\n"
     "BEGIN:VCARD\nVERSION:2.1\nFN;CHARSET=UTF-8//TRANSLIT:plain\nEND:VCARD\n",
     {{"\xC3\xA9t\xC3\xA9", "", ""}, {"plain", "", ""}}},
    {"LineWithoutColonIsTolerated",
     "BEGIN:VCARD\nVERSION:3.0\nthis line has no colon\n\nFN:Kept\nEND:VCARD\n",
     {{"Kept", "", ""}}},
    {"CardWithoutVersionIsReadAs30",
     "BEGIN:VCARD\nFN:No\n Version\nNICKNAME:a,b\nEND:VCARD\n", {{"NoVersion", "a", ""}}},
    {"MissingEndBeforeNextBegin",
     "BEGIN:VCARD\nVERSION:3.0\nFN:Good\nEND:VCARD\n"
     "BEGIN:VCARD\nVERSION:3.0\nFN:Broken\n"
     "BEGIN:VCARD\nVERSION:3.0\nFN:Also good\nEND:VCARD\n",
     {{"Good", "", ""}, {"Also good", "", ""}},
     1},
    {"MissingEndAtEndOfText",
     "BEGIN:VCARD\nVERSION:3.0\nFN:Good\nEND:VCARD\nBEGIN:VCARD\nVERSION:3.0\nFN:Cut off",
     {{"Good", "", ""}},
     1},
    {"UnknownVersionIsSkipped",
     "BEGIN:VCARD\nVERSION:5.0\nFN:Future\nEND:VCARD\n"
     "BEGIN:VCARD\nVERSION:3.0\nFN:Two\nVERSION:4.0\nEND:VCARD\n"
     "BEGIN:VCARD\nVERSION:4.0\nFN:Fine\nEND:VCARD\n",
     {{"Fine", "", ""}},
     2},
    {"AgentCardIsPartOfItsCard",
     "BEGIN:VCARD\nVERSION:2.1\nFN:Boss\nAGENT:\nBEGIN:VCARD\nVERSION:2.1\nFN:Assistant\n"
     "END:VCARD\nEMAIL:boss@example.org\nEND:VCARD\n",
     {{"Boss", "", "boss@example.org"}}},
    {"Utf8ByteOrderMark",
     "\xEF\xBB\xBF" "BEGIN:VCARD\nVERSION:4.0\nFN:Bom\nEND:VCARD\n", {{"Bom", "", ""}}},
    {"Utf16LittleEndian", Utf16(u"BEGIN:VCARD\nFN:\u00E9\u20AC\nEND:VCARD", false),
     {{"\xC3\xA9\xE2\x82\xAC", "", ""}}},
    {"Utf16BigEndian", Utf16(u"BEGIN:VCARD\r\nFN:\u00E9\u20AC\r\nEND:VCARD\r\n", true),
     {{"\xC3\xA9\xE2\x82\xAC", "", ""}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, VCardReadTest, testing::ValuesIn(kReadCases),
                         [](const testing::TestParamInfo<ReadCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(VCardLimitsTest, OverlongLinesAndCardsAreBounded) {
  VCardLimits limits;
  limits.maxLineBytes = 64;
  limits.maxCardBytes = 512;
  const std::string longText(100, 'x');
  const std::string text =
      "BEGIN:VCARD\nVERSION:3.0\nFN:" + longText + "\nEND:VCARD\n"        // FN too long
      "BEGIN:VCARD\nVERSION:3.0\nFN:Photo\nPHOTO:" + longText + "\n"       // ignored
      " " + longText + "\nEND:VCARD\n"
      "BEGIN:VCARD\nVERSION:3.0\nFN:Big\nNOTE:" + std::string(600, 'n') + "\nEND:VCARD\n"
      "BEGIN:VCARD\nVERSION:3.0\nX-" + std::string(100, 'h') + ";A=\"b:c\nFN:Open quote\nEND:VCARD\n"
      "BEGIN:VCARD\nVERSION:3.0\nFN:Last\nEND:VCARD\n";
  VCardReadStats stats;
  const std::vector<Contact> expected = {{"Photo", "", ""}, {"Open quote", "", ""}, {"Last", "", ""}};
  EXPECT_EQ(ReadAll(text, &stats, limits), expected);
  EXPECT_EQ(stats.skipped, 2u);
}

TEST(VCardLimitsTest, HugeInputWithoutLineBreaksIsReadInLinearTime) {
  // A megabyte-long folded header, and a file of CR-only lines: both must
  // finish quickly (the test's time limit catches a quadratic scan).
  std::string folded = "BEGIN:VCARD\nFN";
  for (int i = 0; i < 200000; ++i) folded += "\n x=";
  folded += ":v\nEND:VCARD\n";
  std::string crLines;
  for (int i = 0; i < 200000; ++i) crLines += "BEGIN:VCARD\rFN:a\r";
  VCardReadStats stats;
  ReadAll(folded, &stats);
  EXPECT_EQ(stats.cards, 1u);
  ReadAll(crLines, &stats);
  EXPECT_EQ(stats.skipped, 200000u);
}

struct Utf8Case {
  std::string input;
  std::string sanitized;
};

TEST(TextDecodingTest, SanitizingReplacesEachInvalidByte) {
  const Utf8Case cases[] = {
      {"plain", "plain"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                       // overlong
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},       // surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // > U+10FFFF
      {"ab\xE2\x82", "ab\xEF\xBF\xBD\xEF\xBF\xBD"},                   // cut short
      {std::string("a\0b", 3), "a\xEF\xBF\xBD" "b"},
  };
  for (const Utf8Case& c : cases) {
    std::string out;
    AppendSanitizedUtf8(c.input, &out);
    EXPECT_EQ(out, c.sanitized);
    EXPECT_TRUE(IsValidUtf8(out));
    // NUL is valid UTF-8, yet replaced: it would cut a C string short.
    const bool hasNul = c.input.find('\0') != std::string::npos;
    EXPECT_EQ(IsValidUtf8(c.input), c.input == c.sanitized || hasNul);
  }
}

TEST(TextDecodingTest, TransferDecodings) {
  EXPECT_EQ(DecodeQuotedPrintable("a=3Db=3dc"), "a=b=c");
  EXPECT_EQ(DecodeQuotedPrintable("soft=\r\nbreak=\nhere"), "softbreakhere");
  EXPECT_EQ(DecodeQuotedPrintable("keep=G1 and = and ="), "keep=G1 and = and ");
  EXPECT_EQ(DecodeBase64("aGVs\r\n bG8="), "hello");
  EXPECT_EQ(DecodeBase64("aGVsbA"), "hell");
  EXPECT_EQ(DecodeBase64("!!"), "");
}

TEST(TextDecodingTest, CharsetConversion) {
  CharsetConverter converter;
  std::string out;
  EXPECT_TRUE(converter.AppendUtf8("caf\xE9", "iso-8859-1", &out));
  EXPECT_EQ(out, "caf\xC3\xA9");
  out.clear();
  EXPECT_TRUE(converter.AppendUtf8("\x81\x80", "WINDOWS-1252", &out));  // 0x81 is unassigned
  EXPECT_EQ(out, "\xEF\xBF\xBD\xE2\x82\xAC");
  out.clear();
  EXPECT_TRUE(converter.AppendUtf8("\x83", "SHIFT_JIS", &out));  // incomplete at the end
  EXPECT_EQ(out, "\xEF\xBF\xBD");
  out = "kept";
  EXPECT_FALSE(converter.AppendUtf8("x", "NO-SUCH-CHARSET", &out));
  EXPECT_FALSE(converter.AppendUtf8("x", "UTF-8//IGNORE", &out));
  EXPECT_FALSE(converter.AppendUtf8("x", "", &out));
  EXPECT_EQ(out, "kept");

  // More character sets than the converter keeps open: each still converts.
  for (const char* name : {"ISO-8859-2", "ISO-8859-3", "ISO-8859-4", "ISO-8859-5", "ISO-8859-7",
                           "ISO-8859-9", "ISO-8859-15", "CP1250", "CP1251", "KOI8-R", "MACINTOSH",
                           "ISO-8859-1"}) {
    out.clear();
    EXPECT_TRUE(converter.AppendUtf8("Ab", name, &out)) << name;
    EXPECT_EQ(out, "Ab") << name;
  }
  out.clear();
  EXPECT_TRUE(converter.AppendUtf8("\xC0", "KOI8-R", &out));
  EXPECT_EQ(out, "\xD1\x8E");  // U+044E
}

}  // namespace
}  // namespace vorn_wab
