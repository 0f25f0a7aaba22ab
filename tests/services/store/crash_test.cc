// The store killed in the middle of its work: a worker process commits
// messages in a loop and is killed with SIGKILL at random moments; after each
// kill the database passes SQLite's integrity check and holds exactly what
// the returned commits stored (bench_store_crash runs many more rounds).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/services/store/stress_fixture.h"

namespace store_stress {
namespace {

using StoreCrashTest = StressTest;

TEST_F(StoreCrashTest, EveryReturnedCommitSurvivesAKillAndNothingHalfDoneIsLeft) {
  store_ = nullptr;  // each round starts from the store as the kill left it
  const CrashSummary summary = RunCrashRounds(10, Seed(), 150);
  std::printf("%d kills (%d while opening), %ld commits returned, %ld stored unreported, "
              "%ld cut off without a trace, %ld read back, %ld stored\n",
              summary.rounds, summary.killsBeforeReady, summary.committed, summary.unreported,
              summary.pendingAbsent, summary.bytesVerified, summary.storedAtEnd);
  EXPECT_THAT(summary.failures, ::testing::IsEmpty());
  EXPECT_EQ(10, summary.rounds);
  EXPECT_GT(summary.committed, 0);
  EXPECT_GT(summary.bytesVerified, summary.committed / 2);
}

}  // namespace
}  // namespace store_stress
