#include "platform/failure_reason.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

std::string Reason() {
  char text[VORN_MAX_FAILURE_REASON + 1] = {};
  EXPECT_LT(VornGetFailureReason(text, sizeof text), sizeof text);
  return text;
}

TEST(FailureReason, OneLinePerThreadCutBetweenCharactersUntilCleared) {
  VornSetFailureReason("the store is damaged\nrun\tthe repair");
  EXPECT_EQ(Reason(), "the store is damaged run the repair");
  std::thread([] { EXPECT_EQ(Reason(), ""); }).join();
  // A three-byte character across the limit goes whole.
  const std::string a(VORN_MAX_FAILURE_REASON - 1, 'a');
  VornSetFailureReason((a + "\xE2\x82\xAC").c_str());
  EXPECT_EQ(Reason(), a);
  VornSetFailureReason(nullptr);
  EXPECT_EQ(Reason(), "");
}

TEST(FailureReason, AReportedFailureReachesTheHandlerOfItsThreadOnly) {
  std::string heard;
  VornSetFailureHandler([](LPCSTR what, LPCSTR why, void* to) {
    *static_cast<std::string*>(to) += std::string(what) + ": " + why + ";";
  }, &heard);
  VornSetFailureReason("the store is damaged");
  VornReportFailure("InitControl");
  std::thread([] { VornReportFailure("Other"); }).join();
  VornSetFailureHandler(nullptr, nullptr);
  VornReportFailure("Unheard");
  EXPECT_EQ(heard, "InitControl: the store is damaged;");
  VornSetFailureReason(nullptr);
}

}  // namespace
