#include "hosts/script/script_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "platform/automation.h"
#include "platform/runtime.h"

namespace {

using vornhost::EngineToUtf16;
using vornhost::EngineToUtf8;
using vornhost::Utf16ToEngine;
using vornhost::Utf8ToEngine;

struct Case {
  const char* what;
  std::string engine;
  std::string utf8;
};

// U+1F600 in its three spellings.
const std::string kEmojiUtf8 = "\xF0\x9F\x98\x80";
const std::string kEmojiCesu = "\xED\xA0\xBD\xED\xB8\x80";  // D83D DE00
const std::string kReplacement = "\xEF\xBF\xBD";

TEST(ScriptTextTest, EngineTextBecomesStandardUtf8) {
  const Case cases[] = {
      {"ascii", "abc", "abc"},
      {"two- and three-byte characters", "\xC3\xA9\xE2\x82\xAC", "\xC3\xA9\xE2\x82\xAC"},
      {"surrogate pair joined", "a" + kEmojiCesu + "b", "a" + kEmojiUtf8 + "b"},
      {"four-byte form kept", kEmojiUtf8, kEmojiUtf8},
      {"lone high surrogate", "\xED\xA0\xBDx", kReplacement + "x"},
      {"lone low surrogate", "x\xED\xB8\x80", "x" + kReplacement},
      {"high surrogate at the end", "x\xED\xA0\xBD", "x" + kReplacement},
      {"two high surrogates", "\xED\xA0\xBD" + kEmojiCesu, kReplacement + kEmojiUtf8},
      {"invalid byte", "a\xFF" "b", "a" + kReplacement + "b"},
      {"truncated sequence", "a\xE2\x82", "a" + kReplacement + kReplacement},
      {"overlong form", "\xC0\xAF", kReplacement + kReplacement},
      {"embedded NUL", std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EngineToUtf8(c.engine.data(), c.engine.size()), c.utf8) << c.what;
  }
}

TEST(ScriptTextTest, Utf8BecomesEngineText) {
  const Case cases[] = {
      {"ascii", "abc", "abc"},
      {"BMP characters unchanged", "\xC3\xA9\xE2\x82\xAC", "\xC3\xA9\xE2\x82\xAC"},
      {"non-BMP split into a pair", "a" + kEmojiCesu, "a" + kEmojiUtf8},
      {"highest code point", "\xED\xAF\xBF\xED\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"surrogate in the input", kReplacement, "\xED\xA0\xBD"},
      {"beyond U+10FFFF", kReplacement + kReplacement + kReplacement + kReplacement,
       "\xF4\x90\x80\x80"},
      {"invalid byte", "a" + kReplacement, "a\x80"},
      {"embedded NUL", std::string("\0", 1), std::string("\0", 1)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToEngine(c.utf8.data(), c.utf8.size()), c.engine) << c.what;
  }
}

TEST(ScriptTextTest, RoundTripKeepsEveryValidCharacter) {
  std::string all;
  for (char32_t cp : {U'\x01', U'\x7F', U'\x80', U'\x7FF', U'\x800', U'\xFFFF', U'\x10000',
                      U'\x10FFFF'}) {
    std::string one;
    if (cp < 0x80) {
      one = std::string(1, static_cast<char>(cp));
    } else if (cp < 0x800) {
      one = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    } else if (cp < 0x10000) {
      one = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
             static_cast<char>(0x80 | (cp & 0x3F))};
    } else {
      one = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
             static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    }
    all += one;
  }
  const std::string engine = Utf8ToEngine(all.data(), all.size());
  EXPECT_EQ(EngineToUtf8(engine.data(), engine.size()), all);
}

// The direct conversions between engine text and UTF-16 give what the path
// through UTF-8 and the runtime's BSTR conversions gives, on random text
// made of well-formed and broken pieces alike.
TEST(ScriptTextTest, Utf16ConversionsAgreeWithThePathThroughUtf8) {
  const std::string pieces[] = {"a", "Z", std::string("\0", 1), "\xC3\xA9", "\xE2\x82\xAC",
                                kEmojiUtf8, kEmojiCesu, "\xED\xA0\xBD", "\xED\xB8\x80",
                                "\xFF", "\xE2\x82", "\xC0\xAF", "\x80"};
  const char16_t units[] = {u'a', u'\0', 0x7F, 0x80, 0xE9, 0x20AC, 0xFFFF, 0xD83D, 0xDE00, 0xDBFF};
  constexpr unsigned kSeed = 31;
  std::printf("seed %u\n", kSeed);
  std::mt19937 random(kSeed);
  for (int round = 0; round < 2000; ++round) {
    std::string engine;
    std::u16string wide;
    const int length = static_cast<int>(random() % 12);
    for (int i = 0; i < length; ++i) {
      engine += pieces[random() % (sizeof pieces / sizeof pieces[0])];
      wide += units[random() % (sizeof units / sizeof units[0])];
    }
    const std::string utf8 = EngineToUtf8(engine.data(), engine.size());
    BSTR expected = VornSysAllocStringA(utf8.data(), static_cast<int>(utf8.size()));
    ASSERT_NE(expected, nullptr);
    std::u16string direct;
    EngineToUtf16(engine.data(), engine.size(), &direct);
    EXPECT_EQ(direct, std::u16string(expected, SysStringLen(expected))) << "round " << round;
    SysFreeString(expected);

    BSTR bstr = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    int cb = 0;
    LPSTR narrow = VornSysStringToA(bstr, &cb);
    ASSERT_NE(narrow, nullptr);
    std::string fromUnits;
    Utf16ToEngine(wide.data(), wide.size(), &fromUnits);
    EXPECT_EQ(fromUnits, Utf8ToEngine(narrow, static_cast<size_t>(cb))) << "round " << round;
    CoTaskMemFree(narrow);
    SysFreeString(bstr);
  }
}

}  // namespace
