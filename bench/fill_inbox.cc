// Fills the Inbox of the store in $VORN_ROOT (the store server registered
// there, the Inbox empty) with N generated messages, the ones the listing
// benchmarks use, for benchmarks that drive the store from outside (the web
// page's). Prints the seed and the time the store took.
//
//   bench_fill_inbox N [SEED]

#include <cstdio>
#include <cstdlib>

#include "bench/listing_support.h"
#include "platform/runtime.h"

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 0;
  const unsigned long long seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 42;
  if (count <= 0 || argc > 3) {
    std::fprintf(stderr, "usage: bench_fill_inbox N [SEED]\n");
    return 2;
  }
  if (FAILED(CoInitialize(nullptr))) return 1;
  STOREFOLDERID inbox = 0;
  vorn_bench::Times spent;
  const bool filled = vorn_bench::FillInbox(count, seed, &inbox, &spent);
  CoUninitialize();
  if (!filled) {
    std::fprintf(stderr, "bench_fill_inbox: the Inbox could not be filled (is it empty?)\n");
    return 1;
  }
  std::printf("filled the Inbox with %d messages (seed %llu) in %.1f s (%.1f s processor)\n",
              count, seed, spent.wall, spent.cpu);
  return 0;
}
