// Kills a process that commits messages to the store, again and again, and
// checks the store after every kill: SQLite's integrity check, every message
// whose commit returned before the kill present with its bytes, nothing that
// no commit stored, batches whole or absent, no identifier issued twice.
//
//   bench_store_crash [rounds (200)] [seed (random)] [longest run before a kill, ms (150)]
//
// Prints the figures and each failure; exits 0 only when every round held.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "platform/runtime.h"
#include "tests/services/store/stress_support.h"
#include "tests/support/temp_root.h"

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  const uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : std::random_device()();
  const int maxDelayMs = argc > 3 ? std::atoi(argv[3]) : 150;
  if (rounds <= 0 || maxDelayMs < 0) {
    std::fprintf(stderr, "usage: bench_store_crash [rounds] [seed] [longest run in ms]\n");
    return 1;
  }
  vorn_test::TempRoot root;
  if (FAILED(CoInitialize(nullptr)) || FAILED(store_stress::RegisterServers())) {
    std::fprintf(stderr, "cannot set up a root with the store registered\n");
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  const store_stress::CrashSummary s = store_stress::RunCrashRounds(rounds, seed, maxDelayMs);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  CoUninitialize();

  std::printf("store crash rounds, seed %llu\n", static_cast<unsigned long long>(seed));
  std::printf("  kills                          %d (%d while the store was opening)\n",
              s.rounds, s.killsBeforeReady);
  std::printf("  commits returned before a kill %ld, all checked present\n", s.committed);
  std::printf("  cut-off commits found stored   %ld messages\n", s.unreported);
  std::printf("  cut-off commits left no trace  %ld\n", s.pendingAbsent);
  std::printf("  messages read back and compared %ld\n", s.bytesVerified);
  std::printf("  messages in the store at the end %ld\n", s.storedAtEnd);
  std::printf("  time                           %.1f s\n", seconds);
  for (const std::string& failure : s.failures) std::printf("  FAILED %s\n", failure.c_str());
  std::printf("result: %s\n", s.failures.empty() && s.rounds == rounds ? "PASS" : "FAIL");
  return s.failures.empty() && s.rounds == rounds ? 0 : 1;
}
