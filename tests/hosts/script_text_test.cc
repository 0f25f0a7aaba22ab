#include "hosts/script/script_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using vornhost::EngineToUtf8;
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

}  // namespace
