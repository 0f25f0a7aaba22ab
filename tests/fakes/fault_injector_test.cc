// The injector and the sweep helper: a fault that fires one call early or
// late would make every failure-path test of the logic check the wrong step.

#include "tests/fakes/fault_injector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/fakes/fault_sweep.h"

namespace vorn_fakes {
namespace {

using testing::ElementsAre;

struct FireCase {
  const char* name;
  std::string_view method;  // the rule's method
  int n;
  FaultMode mode;
  // The calls made, in order, and which of them must fail.
  std::vector<std::string_view> calls;
  std::vector<bool> fails;
};

TEST(FaultInjectorTest, FiresExactlyAtTheArmedCall) {
  const FireCase cases[] = {
      {"third of one method",
       "Read",
       3,
       FaultMode::kOnce,
       {"Read", "Write", "Read", "Read", "Read"},
       {false, false, false, true, false}},
      {"first of one method",
       "OpenFolder",
       1,
       FaultMode::kOnce,
       {"Initialize", "OpenFolder", "OpenFolder"},
       {false, true, false}},
      {"third of any method",
       kAnyMethod,
       3,
       FaultMode::kOnce,
       {"Read", "Write", "OpenFolder", "Read"},
       {false, false, true, false}},
      {"from the second on",
       "GetNextMessage",
       2,
       FaultMode::kFromThenOn,
       {"GetNextMessage", "GetFirstMessage", "GetNextMessage", "GetNextMessage"},
       {false, false, true, true}},
      {"never reached",
       "QueryRows",
       2,
       FaultMode::kOnce,
       {"QueryRows", "GetRowCount"},
       {false, false}},
  };
  for (const FireCase& c : cases) {
    SCOPED_TRACE(c.name);
    FaultInjector faults;
    faults.FailCall(c.method, c.n, E_ACCESSDENIED, c.mode);
    int expectedFired = 0;
    for (size_t i = 0; i < c.calls.size(); ++i) {
      std::optional<HRESULT> status = faults.OnCall(c.calls[i]);
      EXPECT_EQ(status.has_value(), c.fails[i]) << "call " << i;
      if (status) {
        EXPECT_EQ(*status, E_ACCESSDENIED);
      }
      expectedFired += c.fails[i];
    }
    EXPECT_EQ(faults.FaultsFired(), expectedFired);
    EXPECT_EQ(faults.Calls(), static_cast<int>(c.calls.size()));
  }
}

TEST(FaultInjectorTest, CountsFromArmingAndPassesAnyStatus) {
  FaultInjector faults;
  faults.OnCall("Read");
  faults.OnCall("Read");
  faults.FailCall("Read", 1, S_FALSE);
  EXPECT_EQ(faults.OnCall("Read"), std::optional<HRESULT>(S_FALSE));
  EXPECT_FALSE(faults.Armed());
  EXPECT_EQ(faults.Calls("Read"), 3);
  ASSERT_EQ(faults.Fired().size(), 1u);
  EXPECT_EQ(faults.Fired()[0].method, "Read");
  EXPECT_EQ(faults.Fired()[0].call, 1);

  // Two rules on one call: one fault, from the earlier rule; the later rule
  // still counts the call.
  faults.FailCall("Write", 1, E_FAIL);
  faults.FailCall(kAnyMethod, 1, E_ABORT);
  EXPECT_EQ(faults.OnCall("Write"), std::optional<HRESULT>(E_FAIL));
  EXPECT_EQ(faults.OnCall("Write"), std::nullopt);
  EXPECT_EQ(faults.FaultsFired(), 2);

  faults.Reset();
  EXPECT_EQ(faults.Calls(), 0);
  EXPECT_EQ(faults.FaultsFired(), 0);
}

TEST(FaultInjectorTest, RefusesMethodsNoFakeCanFail) {
  FaultInjector faults;
  EXPECT_THROW(faults.FailCall("GetNextMesage", 1), std::invalid_argument);
  EXPECT_THROW(faults.FailCall("Release", 1), std::invalid_argument);
  EXPECT_THROW(faults.FailCall("Read", 0), std::invalid_argument);
  EXPECT_NO_THROW(faults.FailCall("GetNextMessage", 1));
}

// An operation of five faultable calls that stops at the first failure.
int FiveCalls(FaultInjector& faults, std::vector<std::string>* failedAt) {
  const char* methods[] = {"OpenFolder", "GetFirstMessage", "GetNextMessage", "GetNextMessage",
                           "Read"};
  for (const char* method : methods) {
    if (faults.OnCall(method)) {
      failedAt->push_back(method);
      return 0;
    }
  }
  return 1;
}

TEST(FaultSweepTest, ArmsEveryCallOnceThenStopsAfterACleanRun) {
  FaultInjector faults;
  std::vector<std::string> failedAt;
  std::vector<int> armed;
  int clean = 0;
  int runs = SweepFaults(
      faults, [&] { return FiveCalls(faults, &failedAt); },
      [&](const SweepRun& run, int result) {
        armed.push_back(run.n);
        EXPECT_EQ(result, run.fired ? 0 : 1);
        if (!run.fired) ++clean;
      });
  EXPECT_EQ(runs, 5);
  EXPECT_EQ(clean, 1);
  EXPECT_THAT(armed, ElementsAre(1, 2, 3, 4, 5, 6));
  EXPECT_THAT(failedAt, ElementsAre("OpenFolder", "GetFirstMessage", "GetNextMessage",
                                    "GetNextMessage", "Read"));
  EXPECT_FALSE(faults.Armed());
}

TEST(FaultSweepTest, FreshWorldsAndOneMethodOnly) {
  std::vector<std::string> failedAt;
  FaultSweepOptions options;
  options.method = "GetNextMessage";
  int runs = SweepFaultsFresh(
      [&](FaultArm& arm) {
        FaultInjector faults;  // ends with the attempt
        arm.Arm(faults);
        FiveCalls(faults, &failedAt);
      },
      options);
  EXPECT_EQ(runs, 2);
  EXPECT_THAT(failedAt, ElementsAre("GetNextMessage", "GetNextMessage"));
}

}  // namespace
}  // namespace vorn_fakes
