#include <gtest/gtest.h>

#include <string>

#include "platform/automation.h"
#include "platform/message_text.h"
#include "platform/runtime.h"

namespace {

std::string ToA(BSTR text) {
  int cb = -1;
  LPSTR converted = VornSysStringToA(text, &cb);
  EXPECT_NE(converted, nullptr);
  std::string result(converted, static_cast<size_t>(cb));
  CoTaskMemFree(converted);
  return result;
}

TEST(Bstr, LengthPrefixAndTerminatorHoldEmbeddedZeros) {
  const OLECHAR text[] = {u'a', 0, u'b'};
  BSTR s = SysAllocStringLen(text, 3);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 3u);
  EXPECT_EQ(SysStringByteLen(s), 6u);
  EXPECT_EQ(s[1], 0);
  EXPECT_EQ(s[3], 0);  // the terminator after the counted units
  EXPECT_EQ(ToA(s), std::string("a\0b", 3));
  SysFreeString(s);
}

TEST(Bstr, NullIsTheEmptyString) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_EQ(ToA(nullptr), "");
  BSTR empty = VornSysAllocStringA(nullptr, -1);
  ASSERT_NE(empty, nullptr);  // never null for text that converts
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);
  BSTR zeros = SysAllocStringLen(nullptr, 4);
  ASSERT_NE(zeros, nullptr);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(zeros[i], 0);
  SysFreeString(zeros);
}

TEST(Bstr, RefusesLengthsBeyondThePrefix) {
  EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(Bstr, Utf8RoundTripsWithoutLoss) {
  struct Case {
    const char* utf8;
    UINT units;
  };
  const Case cases[] = {
      {"", 0},
      {"plain", 5},
      {"Gr\xC3\xBC\xC3\x9F" "e", 5},          // two-byte sequences
      {"\xE2\x82\xAC 5", 3},                  // euro sign
      {"\xF0\x9F\x93\xA8 mail", 7},           // outside the BMP: a surrogate pair
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", 3},
  };
  for (const Case& c : cases) {
    BSTR s = VornSysAllocStringA(c.utf8, -1);
    ASSERT_NE(s, nullptr) << c.utf8;
    EXPECT_EQ(SysStringLen(s), c.units) << c.utf8;
    EXPECT_EQ(ToA(s), c.utf8);
    SysFreeString(s);
  }
}

TEST(Bstr, InvalidInputIsReplacedNotDropped) {
  BSTR s = VornSysAllocStringA("a\xFF" "b", 3);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(SysStringLen(s), 3u);
  EXPECT_EQ(s[1], 0xFFFD);
  SysFreeString(s);
  const OLECHAR lone[] = {u'x', 0xD800, u'y'};
  BSTR t = SysAllocStringLen(lone, 3);
  EXPECT_EQ(ToA(t), "x\xEF\xBF\xBDy");
  SysFreeString(t);
}

TEST(MessageText, NamesKnownCodesAndRefusesWhatDoesNotFit) {
  char buffer[128];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(DISP_E_BADPARAMCOUNT), 0, buffer, sizeof buffer,
                           nullptr);
  ASSERT_GT(n, 0u);
  EXPECT_STREQ(buffer, "DISP_E_BADPARAMCOUNT: Invalid number of parameters.");
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x80001234u, 0, buffer,
                           sizeof buffer, nullptr),
            0u);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                           static_cast<DWORD>(DISP_E_BADPARAMCOUNT), 0, buffer, 10, nullptr),
            0u);
}

}  // namespace
