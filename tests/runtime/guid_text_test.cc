#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/runtime.h"

namespace {

constexpr GUID kSample = MakeGuid("{55AD47E4-2535-4F8A-817C-4EDDF342617B}");

TEST(GuidText, FormatsUpperCaseBracedText) {
  char text[39];
  ASSERT_EQ(StringFromGUID2(kSample, text, sizeof(text)), 39);
  EXPECT_STREQ(text, "{55AD47E4-2535-4F8A-817C-4EDDF342617B}");
  ASSERT_EQ(StringFromGUID2(GUID_NULL, text, sizeof(text)), 39);
  EXPECT_STREQ(text, "{00000000-0000-0000-0000-000000000000}");
}

TEST(GuidText, ShortBufferGetsNothing) {
  char text[39];
  std::memset(text, 'x', sizeof(text));
  EXPECT_EQ(StringFromGUID2(kSample, text, 38), 0);
  EXPECT_EQ(StringFromGUID2(kSample, nullptr, 39), 0);
  EXPECT_EQ(std::string(text, sizeof(text)), std::string(39, 'x'));
}

TEST(GuidText, ParsesEitherCaseAndRoundTrips) {
  for (const char* text : {"{55AD47E4-2535-4F8A-817C-4EDDF342617B}",
                           "{55ad47e4-2535-4f8a-817c-4eddf342617b}",
                           "{55Ad47E4-2535-4f8A-817c-4EdDF342617b}"}) {
    CLSID parsed{};
    ASSERT_EQ(CLSIDFromString(text, &parsed), S_OK) << text;
    EXPECT_TRUE(parsed == kSample) << text;
  }
  // Every byte position carries its own value through the round trip.
  GUID distinct{0x01234567, 0x89AB, 0xCDEF, {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE}};
  char text[39];
  ASSERT_EQ(StringFromGUID2(distinct, text, sizeof(text)), 39);
  EXPECT_STREQ(text, "{01234567-89AB-CDEF-1032-547698BADCFE}");
  CLSID back{};
  ASSERT_EQ(CLSIDFromString(text, &back), S_OK);
  EXPECT_TRUE(back == distinct);
}

TEST(GuidText, RefusesMalformedText) {
  const char* bad[] = {
      "",
      "55AD47E4-2535-4F8A-817C-4EDDF342617B",     // no braces
      "{55AD47E4-2535-4F8A-817C-4EDDF342617B",    // no closing brace
      "{55AD47E4-2535-4F8A-817C-4EDDF342617B}x",  // trailing text
      "{55AD47E4-2535-4F8A-817C-4EDDF342617}",    // one digit short
      "{55AD47E4-2535-4F8A-817C4-EDDF342617B}",   // dash moved
      "{55AD47E4-2535-4F8A-817C-4EDDF342617G}",   // not a digit
      "{55AD47E4-2535-4F8A-817C-4EDDF34261 7B}",  // space
      "{+5AD47E4-2535-4F8A-817C-4EDDF342617B}",   // sign
      "(55AD47E4-2535-4F8A-817C-4EDDF342617B)",
      "VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1",
  };
  for (const char* text : bad) {
    CLSID parsed = kSample;
    EXPECT_EQ(CLSIDFromString(text, &parsed), CO_E_CLASSSTRING) << text;
    EXPECT_TRUE(parsed == kSample) << "changed by " << text;
  }
  CLSID parsed{};
  EXPECT_EQ(CLSIDFromString(nullptr, &parsed), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromString("{55AD47E4-2535-4F8A-817C-4EDDF342617B}", nullptr), E_INVALIDARG);
}

}  // namespace
