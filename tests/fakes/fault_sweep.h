// "Fail call N until nothing fails": runs an operation with fault N armed for
// N = 1, 2, ... until a run in which no fault fires, and checks each run.
//
// Same world for every run (the operation must leave the fakes as a next run
// expects them, which read-only operations do):
//
//   vorn_fakes::SweepFaults(env.faults,
//       [&] { return mail.RebuildFolderList(); },
//       [&](const vorn_fakes::SweepRun& run, int result) {
//         if (run.fired) EXPECT_EQ(result, 0) << run;  // or whatever is documented
//         EXPECT_THAT(env.log.LiveObjects(), ElementsAre(...));
//       });
//
// A fresh world for every run (for operations that change the store):
//
//   vorn_fakes::SweepFaultsFresh([&](vorn_fakes::FaultArm& arm) {
//     World world;                  // FakeEnv, fakes, code under test
//     world.mail.OpenSession();
//     arm.Arm(world.env.faults);    // right before the operation
//     int result = world.mail.CreateFolder(0, "New");
//     if (arm.Fired()) ... else ...; // checks while the world lives
//   });
//
// By default every faultable call is counted (kAnyMethod) and fails once
// with E_FAIL; options narrow it to one method, change the status, or make
// the fault persist. Each run is traced ("fault at call N ...") so a failed
// expectation names the run. The sweep fails the test when it has not ended
// after options.maxRuns runs.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <type_traits>
#include <utility>

#include "tests/fakes/fault_injector.h"

namespace vorn_fakes {

struct FaultSweepOptions {
  std::string method = std::string(kAnyMethod);
  HRESULT status = E_FAIL;
  FaultMode mode = FaultMode::kOnce;
  int maxRuns = 5000;
};

struct SweepRun {
  int n = 0;           // the call armed to fail
  bool fired = false;  // false only on the last, clean run
  std::string method;  // the method that failed, when fired
  HRESULT status = S_OK;
};

inline std::ostream& operator<<(std::ostream& out, const SweepRun& run) {
  out << "fault armed at call " << run.n;
  if (run.fired)
    out << " (" << run.method << " failed)";
  else
    out << " (nothing failed)";
  return out;
}

// Arms one run of a fresh-world sweep and tells whether its fault fired.
class FaultArm {
 public:
  FaultArm(int n, const FaultSweepOptions& options) : n_(n), options_(options) {}

  // Arms call N on `faults` and listens for it to fire.
  void Arm(FaultInjector& faults) {
    faults.FailCall(options_.method, n_, options_.status, options_.mode);
    auto state = state_;
    faults.SetFireListener([state](const FaultInjector::FiredFault& fault) {
      if (!state->fired) {
        state->fired = true;
        state->method = fault.method;
      }
    });
    armed_ = true;
  }
  bool Fired() const { return state_->fired; }
  bool armed() const { return armed_; }
  SweepRun Run() const { return SweepRun{n_, state_->fired, state_->method, options_.status}; }

 private:
  struct State {
    bool fired = false;
    std::string method;
  };
  int n_;
  FaultSweepOptions options_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
  bool armed_ = false;
};

// Same world: returns the number of runs in which the fault fired.
template <class Operation, class Check>
int SweepFaults(FaultInjector& faults, Operation&& operation, Check&& check,
                const FaultSweepOptions& options = {}) {
  for (int n = 1; n <= options.maxRuns; ++n) {
    FaultArm arm(n, options);
    arm.Arm(faults);
    SCOPED_TRACE(testing::Message() << "fault armed at call " << n << " of " << options.method);
    if constexpr (std::is_void_v<decltype(operation())>) {
      operation();
      faults.Disarm();
      faults.SetFireListener(nullptr);
      check(arm.Run());
    } else {
      auto result = operation();
      faults.Disarm();
      faults.SetFireListener(nullptr);
      check(arm.Run(), result);
    }
    if (!arm.Fired()) return n - 1;
  }
  ADD_FAILURE() << "the fault sweep did not end after " << options.maxRuns << " runs";
  return options.maxRuns;
}

// Fresh world: `attempt(FaultArm&)` builds its world, arms it, runs and checks.
// Returns the number of runs in which the fault fired.
template <class Attempt>
int SweepFaultsFresh(Attempt&& attempt, const FaultSweepOptions& options = {}) {
  for (int n = 1; n <= options.maxRuns; ++n) {
    FaultArm arm(n, options);
    {
      SCOPED_TRACE(testing::Message() << "fault armed at call " << n << " of " << options.method);
      attempt(arm);
    }
    if (!arm.armed()) {
      ADD_FAILURE() << "the sweep's attempt never called FaultArm::Arm";
      return 0;
    }
    if (!arm.Fired()) return n - 1;
  }
  ADD_FAILURE() << "the fault sweep did not end after " << options.maxRuns << " runs";
  return options.maxRuns;
}

}  // namespace vorn_fakes
