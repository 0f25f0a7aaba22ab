#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/codepage.h"

namespace {

// Converts exactly the given units (no terminator) and checks the sizing call
// agrees with the real one. The input sits in a heap block of its exact size,
// so the sanitizer build catches any read past it.
std::string ToUtf8(const std::u16string& text) {
  std::vector<WCHAR> in(text.begin(), text.end());
  const int needed = WideCharToMultiByte(CP_UTF8, 0, in.data(), static_cast<int>(in.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::vector<char> out(static_cast<size_t>(needed));
  const int written = WideCharToMultiByte(CP_ACP, 0, in.data(), static_cast<int>(in.size()),
                                          out.data(), needed, nullptr, nullptr);
  EXPECT_EQ(written, needed);
  return std::string(out.begin(), out.end());
}

std::u16string ToUtf16(const std::string& bytes) {
  std::vector<char> in(bytes.begin(), bytes.end());
  const int needed =
      MultiByteToWideChar(CP_UTF8, 0, in.data(), static_cast<int>(in.size()), nullptr, 0);
  std::vector<WCHAR> out(static_cast<size_t>(needed));
  const int written =
      MultiByteToWideChar(CP_ACP, 0, in.data(), static_cast<int>(in.size()), out.data(), needed);
  EXPECT_EQ(written, needed);
  return std::u16string(out.begin(), out.end());
}

TEST(CodePage, Utf16ToUtf8JoinsPairsAndReplacesLoneSurrogates) {
  struct Case {
    std::u16string in;
    std::string out;
  } cases[] = {
      {u"plain", "plain"},
      {u"\u00e9\u20ac", "\xC3\xA9\xE2\x82\xAC"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
      {{0xD83D}, "\xEF\xBF\xBD"},                                      // high at the end
      {{0xDE00, u'a'}, "\xEF\xBF\xBD" "a"},                            // low alone
      {{0xD83D, u'a'}, "\xEF\xBF\xBD" "a"},                            // high then no low
      {{0xD83D, 0xD83D, 0xDE00}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"},      // high, then a pair
      {{0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // reversed pair
      {{u'a', 0, u'b'}, std::string("a\0b", 3)},                       // zero unit inside
  };
  for (const Case& c : cases) EXPECT_EQ(ToUtf8(c.in), c.out) << c.out;
}

TEST(CodePage, Utf8ToUtf16ReplacesEachIllFormedPart) {
  const std::u16string r = u"\uFFFD";
  struct Case {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"plain", u"plain"},
      {"\xC3\xA9\xE2\x82\xAC", u"\u00e9\u20ac"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\x80", r},                                  // continuation without lead
      {"\xC0\x80", r + r},                          // overlong NUL
      {"\xC1\xBF", r + r},                          // overlong
      {"\xE0\x80\x80", r + r + r},                  // overlong three-byte
      {"\xE0\x9F\xBF", r + r + r},                  // overlong, just below U+0800
      {"\xF0\x8F\xBF\xBF", r + r + r + r},          // overlong four-byte
      {"\xED\xA0\x80", r + r + r},                  // encoded high surrogate
      {"\xED\xBF\xBF", r + r + r},                  // encoded low surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},          // above U+10FFFF
      {"\xF5\x80\x80\x80", r + r + r + r},          // lead byte beyond Unicode
      {"\xFF", r},
      {"\xE2\x82", r},                              // truncated at the end
      {"\xE2\x82" "A", r + u"A"},                   // truncated before ASCII
      {"\xF0\x9F\x98" "\xF0\x9F\x98\x80", r + u"\U0001F600"},
      {"a\xC3", u"a" + r},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(ToUtf16(c.in), c.out) << c.in;
}

TEST(CodePage, EveryScalarValueRoundTrips) {
  std::u16string all;
  for (char32_t c = 1; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    if (c < 0x10000) {
      all.push_back(static_cast<char16_t>(c));
    } else {
      all.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      all.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
  const std::string utf8 = ToUtf8(all);
  EXPECT_EQ(utf8.size(), 0x7Fu + 2 * 0x780u + 3 * (0x10000u - 0x800u - 0x800u) + 4 * 0x100000u);
  EXPECT_EQ(ToUtf16(utf8), all);
}

TEST(CodePage, NeverReadsPastTheGivenLength) {
  // A pair split by the length: only the high half is seen.
  const WCHAR pair[] = {0xD83D, 0xDE00};
  char out[8] = {};
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, pair, 1, out, sizeof(out), nullptr, nullptr), 3);
  EXPECT_EQ(std::string(out, 3), "\xEF\xBF\xBD");
  // A sequence cut by the length.
  const char euro[] = "\xE2\x82\xAC";
  WCHAR wide[4] = {};
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, euro, 2, wide, 4), 1);
  EXPECT_EQ(wide[0], 0xFFFD);
}

TEST(CodePage, MinusOneIncludesTheTerminator) {
  char out[16];
  std::memset(out, 'x', sizeof(out));
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"h\u00e9", -1, nullptr, 0, nullptr, nullptr), 4);
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"h\u00e9", -1, out, sizeof(out), nullptr, nullptr),
            4);
  EXPECT_STREQ(out, "h\xC3\xA9");
  WCHAR wide[8];
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9", -1, nullptr, 0), 3);
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9", -1, wide, 8), 3);
  EXPECT_EQ(std::u16string(wide), u"h\u00e9");
}

TEST(CodePage, ShortOutputFailsWithoutWritingPastIt) {
  char out[8];
  std::memset(out, 'x', sizeof(out));
  BOOL used = TRUE;
  // "\u20ac" needs 3 bytes; give it 2 inside a larger array and check the rest.
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u20ac", 1, out, 2, nullptr, &used), 0);
  EXPECT_EQ(used, FALSE);
  EXPECT_EQ(std::string(out + 2, 6), std::string(6, 'x'));
  // A pair needs two units.
  WCHAR wide[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, wide, 1), 0);
  EXPECT_EQ(wide[1], u'x');
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, wide, 2), 2);
}

// Windows-1252 gives every byte one character and takes it back; a character
// it lacks becomes the default character.
TEST(CodePage, Windows1252RoundTripsEveryByte) {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>(b));
  WCHAR wide[256];
  ASSERT_EQ(MultiByteToWideChar(CP_WINDOWS_1252, 0, bytes.data(), 256, wide, 256), 256);
  EXPECT_EQ(wide[0x80], 0x20AC);
  EXPECT_EQ(wide[0x9F], 0x0178);
  for (int b : {0x81, 0x8D, 0x8F, 0x90, 0x9D, 0xA0, 0xFF}) EXPECT_EQ(wide[b], b);
  std::string back(256, '\0');
  BOOL defaulted = TRUE;
  ASSERT_EQ(WideCharToMultiByte(CP_WINDOWS_1252, 0, wide, 256, back.data(), 256, nullptr,
                                &defaulted),
            256);
  EXPECT_EQ(back, bytes);
  EXPECT_FALSE(defaulted);

  char out[4] = {};
  EXPECT_EQ(WideCharToMultiByte(CP_WINDOWS_1252, 0, u"a\u0100\U0001F600", 4, out, 4, "*",
                                &defaulted),
            3);
  EXPECT_EQ(std::string(out, 3), "a**");
  EXPECT_TRUE(defaulted);
}

// MB_ERR_INVALID_CHARS refuses ill-formed UTF-8 and nothing else.
TEST(CodePage, InvalidCharsFlagRefusesOnlyIllFormedUtf8) {
  struct Case {
    std::string in;
    int units;
  } cases[] = {
      {"caf\xC3\xA9", 4}, {"\xEF\xBF\xBD", 1}, {std::string("a\0b", 3), 3},
      {"caf\xE9", 0},      {"\xEF\xBF", 0},      {"\xED\xA0\x80", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.in.data(),
                                  static_cast<int>(c.in.size()), nullptr, 0),
              c.units)
        << c.in;
  }
}

TEST(CodePage, BadArgumentsGiveZero) {
  char out[4];
  WCHAR wide[4];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, nullptr, 3, out, 4, nullptr, nullptr), 0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 0, out, 4, nullptr, nullptr), 0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", -2, out, 4, nullptr, nullptr), 0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, nullptr, 4, nullptr, nullptr), 0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, out, -1, nullptr, nullptr), 0);
  EXPECT_EQ(WideCharToMultiByte(1250, 0, u"a", 1, out, 4, nullptr, nullptr), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 4), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a", 0, wide, 4), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a", 1, nullptr, 4), 0);
  EXPECT_EQ(MultiByteToWideChar(437, 0, "a", 1, wide, 4), 0);
}

}  // namespace
