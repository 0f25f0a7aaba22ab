// FaultInjector: the one countdown fault injector every fake consults.
//
// A test arms rules ("fail the 4th GetNextMessage", "fail the 7th faultable
// call of any method from then on"); each fake asks the injector at the start
// of every faultable method whether this call fails, and if so returns the
// rule's status without doing anything else (out-parameters are set to their
// null value where the interface says so).
//
// Counting:
//  - A rule counts the calls that match it from the moment it is armed; call
//    1 is the first matching call after FailCall.
//  - kAnyMethod matches every faultable call of every fake.
//  - Calls(method) counts every faultable call since construction or Reset,
//    armed or not, so a test can learn how many calls an operation makes.
//  - At most one fault fires per call: the earliest armed rule that triggers.
//
// Faultable methods are the ones in KnownMethods(). Clean-up calls are never
// faulted: AddRef, Release, QueryInterface, FreeMessageProps,
// GetSubFolderClose, GetMessageClose, FreeBuffer, IMimeAllocator::Free,
// LockServer, Seek, SetSize, Stat.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace vorn_fakes {

// Matches every faultable call.
inline constexpr std::string_view kAnyMethod = "*";

enum class FaultMode {
  kOnce,        // only call N fails
  kFromThenOn,  // call N and every later matching call fail
};

class FaultInjector {
 public:
  struct FiredFault {
    std::string method;  // the method that failed
    int call;            // which matching call of its rule it was (1-based)
    HRESULT status;
  };

  FaultInjector() = default;
  FaultInjector(const FaultInjector&) = delete;
  FaultInjector& operator=(const FaultInjector&) = delete;

  // Arms a rule: the `n`-th call (n >= 1) of `method` from now on (or of any
  // faultable method with kAnyMethod) returns `status` instead of running.
  // `status` may be any result code, S_FALSE or another success code
  // included (useful where only S_OK counts as success). Throws
  // std::invalid_argument for a method that no fake can fail or for n < 1, so
  // a misspelt name cannot leave a test silently unarmed.
  void FailCall(std::string_view method, int n, HRESULT status = E_FAIL,
                FaultMode mode = FaultMode::kOnce);

  // Drops every armed rule. Counts and fired faults stay.
  void Disarm();
  // Back to the state of a new injector: no rules, no counts, nothing fired.
  void Reset();

  // For fakes: counts the call and returns the status it must fail with, or
  // nothing when it runs normally.
  std::optional<HRESULT> OnCall(std::string_view method);

  // Faultable calls of `method` (kAnyMethod: of all methods) since
  // construction or Reset.
  int Calls(std::string_view method = kAnyMethod) const;
  // Faults fired since construction or Reset.
  int FaultsFired() const { return static_cast<int>(fired_.size()); }
  const std::vector<FiredFault>& Fired() const { return fired_; }
  // True while a rule can still fire.
  bool Armed() const;

  // Called with every fault as it fires (null: nobody). Lets a helper learn
  // about faults of an injector that ends before it looks (FaultSweep).
  void SetFireListener(std::function<void(const FiredFault&)> listener) {
    listener_ = std::move(listener);
  }

  // Every method name a fake consults the injector with.
  static const std::vector<std::string_view>& KnownMethods();
  static bool IsKnownMethod(std::string_view method);

 private:
  struct Rule {
    std::string method;
    int n;
    HRESULT status;
    FaultMode mode;
    int seen = 0;
    bool spent = false;
  };

  std::vector<Rule> rules_;
  std::vector<std::pair<std::string, int>> calls_;
  int totalCalls_ = 0;
  std::vector<FiredFault> fired_;
  std::function<void(const FiredFault&)> listener_;
};

}  // namespace vorn_fakes
