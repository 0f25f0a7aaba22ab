// Cuts the power at random syncs of each change the store makes, on the
// fault VFS: a random subset of the writes since each file's last completed
// sync reaches the disk, then the store is reopened and checked (integrity,
// the change there whole or not at all, everything committed before kept
// byte for byte, the next change working with fresh identifiers).
//
//   bench_store_power_cut [cuts per operation (200)] [seed (random)] [operation name]
//
// Prints the figures and each failure; exits 0 only when every run held.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "platform/runtime.h"
#include "tests/services/store/io_fault_sweep.h"
#include "tests/services/store/stress_support.h"
#include "tests/support/temp_root.h"

int main(int argc, char** argv) {
  const int cuts = argc > 1 ? std::atoi(argv[1]) : 200;
  const uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : std::random_device()();
  const char* only = argc > 3 ? argv[3] : nullptr;
  if (cuts <= 0) {
    std::fprintf(stderr, "usage: bench_store_power_cut [cuts] [seed] [operation]\n");
    return 1;
  }
  vorn_test::TempRoot root;
  if (FAILED(CoInitialize(nullptr)) || FAILED(store_stress::RegisterServers())) {
    std::fprintf(stderr, "cannot set up a root with the store registered\n");
    return 1;
  }
  bool passed = true;
  {
    std::string error;
    std::unique_ptr<store_faults::Sweeper> sweeper = store_faults::Sweeper::Create(&error);
    if (!sweeper) {
      std::fprintf(stderr, "cannot prepare the starting stores: %s\n", error.c_str());
      return 1;
    }
    std::printf("store power cuts, %d per operation, seed %llu\n", cuts,
                static_cast<unsigned long long>(seed));
    int total = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const store_faults::Operation& operation : store_faults::Operations()) {
      if (only && std::strcmp(only, operation.name) != 0) continue;
      const store_faults::SweepFigures f = sweeper->SweepPowerCuts(operation, cuts, seed);
      std::printf(
          "  %-20s %4d cuts (%s): %d as before, %d as after; writes kept %ld, dropped %ld\n",
          operation.name, f.powerCuts, f.detail.c_str(), f.cutsBefore, f.cutsAfter, f.writesKept,
          f.writesDropped);
      for (const std::string& failure : f.failures) std::printf("  FAILED %s\n", failure.c_str());
      passed = passed && f.failures.empty() && f.powerCuts == cuts;
      total += f.powerCuts;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("  %d power cuts in %.1f s\n", total, seconds);
  }
  CoUninitialize();
  std::printf("result: %s\n", passed ? "PASS" : "FAIL");
  return passed ? 0 : 1;
}
