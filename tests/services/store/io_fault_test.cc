// Each change of the store with every read, write, sync, truncation and lock
// call failing in turn, and with the power cut at random syncs (a few here;
// bench_store_power_cut runs many): after each run the store passes the
// integrity check, holds what the change's result says, keeps everything
// committed before, and takes the next change with fresh identifiers.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/services/store/io_fault_sweep.h"
#include "tests/services/store/stress_fixture.h"

namespace store_faults {

void PrintTo(const Operation& operation, std::ostream* out) { *out << operation.name; }

namespace {

// Power cuts per operation here, and their seed.
constexpr int kPowerCuts = 20;
constexpr uint64_t kPowerCutSeed = 4040;

class StoreIoFaultTest : public store_stress::StressTest,
                         public ::testing::WithParamInterface<Operation> {
 protected:
  void SetUp() override {
    StressTest::SetUp();
    store_ = nullptr;
    std::string error;
    sweeper_ = Sweeper::Create(&error);
    ASSERT_TRUE(sweeper_) << error;
  }
  void TearDown() override {
    sweeper_.reset();
    StressTest::TearDown();
  }
  std::unique_ptr<Sweeper> sweeper_;
};

TEST_P(StoreIoFaultTest, EveryFailingIoCallLeavesTheStoreAsTheResultSays) {
  const SweepFigures f = sweeper_->SweepFailingCalls(GetParam());
  std::printf("%s: %d fault points swept in %d runs (%s)\n", GetParam().name, f.faultPoints, f.runs,
              f.detail.c_str());
  EXPECT_THAT(f.failures, ::testing::IsEmpty());
  EXPECT_GT(f.faultPoints, 0);
}

TEST_P(StoreIoFaultTest, APowerCutAtAnySyncKeepsEveryCommittedChange) {
  std::printf("seed %llu\n", static_cast<unsigned long long>(kPowerCutSeed));
  const SweepFigures f = sweeper_->SweepPowerCuts(GetParam(), kPowerCuts, kPowerCutSeed);
  std::printf(
      "%s: %d power cuts (%s): %d left it as before, %d as after; "
      "%ld unsynced writes kept, %ld dropped\n",
      GetParam().name, f.powerCuts, f.detail.c_str(), f.cutsBefore, f.cutsAfter, f.writesKept,
      f.writesDropped);
  EXPECT_THAT(f.failures, ::testing::IsEmpty());
  EXPECT_EQ(kPowerCuts, f.powerCuts);
}

INSTANTIATE_TEST_SUITE_P(Operations, StoreIoFaultTest, ::testing::ValuesIn(Operations()),
                         [](const ::testing::TestParamInfo<Operation>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace store_faults
