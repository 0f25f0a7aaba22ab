// The script host's cost per call, on a generated store of N messages
// (100,000 by default) in the Inbox of a fresh root:
//  - microseconds per late-bound call from a script, for a member with no
//    argument (GetMessageCount), with one number (GetMessageId(i)) and with a
//    string result (GetMessageSubject(i)): a loop of N calls less the same
//    loop with an empty body; the same calls through IDispatch from C++
//    beside them;
//  - the listing (SetFolder, then subject, sender and sent time of each
//    message) through the script host, through IDispatch from C++, and the
//    same three fields read with a plain SQLite query;
//  - the ratios between them.
// The script host is the one vornhost runs (the vorn_script library), driven
// in process so that the clock covers the script and nothing else. Scripts
// are written as a user writes them, at the top level. Every kind of
// listing runs in processes of its own; each figure is the best processor
// time of all runs, so that other work on a shared machine weighs least.
//
//   bench_host_calls [N]

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/listing_support.h"
#include "hosts/script/script_host.h"
#include "platform/automation.h"
#include "platform/runtime.h"
#include "tests/services/store/stress_support.h"
#include "tests/support/temp_root.h"

namespace {

using vorn_bench::Stopwatch;
using vorn_bench::Times;

constexpr char kControlProgId[] = "VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1";
constexpr uint64_t kSeed = 42;
constexpr int kRepeats = 3;    // runs of each measurement in one process
constexpr int kProcesses = 3;  // processes per kind of listing

// ---- the script host (in a process of its own) ----------------------------------------

// Runs `source` in `host` and gives the time it took; processor time
// negative when the script failed.
Times TimeScript(vornhost::ScriptHost& host, const std::string& source) {
  Stopwatch watch;
  const int status = host.RunScript(source, "bench.js");
  return status == 0 ? watch.Elapsed() : Times{-1, -1};
}

int ListThroughHost(STOREFOLDERID inbox, int count) {
  FILE* out = std::tmpfile();
  if (!out) return 1;
  vornhost::HostOptions options;
  options.out = out;
  auto host = std::make_unique<vornhost::ScriptHost>(std::move(options));
  if (!host->ok() ||
      TimeScript(*host, std::string("var c = new ActiveXObject('") + kControlProgId +
                            "');\n"
                            "if (!c.InitControl()) throw new Error('InitControl failed');\n"
                            "var inbox = " + std::to_string(inbox) +
                            ", units = 0, text = 'Quarterly report #1';\n")
              .cpu < 0) {
    std::fprintf(stderr, "the script host cannot set up the control\n");
    return 1;
  }
  // The listing; the same loop without the calls; loops of single calls and
  // the same loop with an empty body.
  const std::string scripts[] = {
      "c.SetFolder(inbox);\n"
      "units = 0;\n"
      "var n = c.GetMessageCount();\n"
      "for (var i = 0; i < n; ++i) {\n"
      "  units += c.GetMessageSubject(i).length + c.GetMessageDisplayFrom(i).length +\n"
      "           c.GetMessageSentTime(i).length;\n"
      "}\n",
      "var sum = 0;\n"
      "for (var i = 0; i < n; ++i) {\n"
      "  sum += text.length + text.length + text.length;\n"
      "}\n",
      "for (var i = 0; i < n; ++i) {}\n",
      "for (var i = 0; i < n; ++i) { c.GetMessageCount(); }\n",
      "for (var i = 0; i < n; ++i) { c.GetMessageId(i); }\n",
      "for (var i = 0; i < n; ++i) { c.GetMessageSubject(i); }\n",
  };
  constexpr int kScripts = 6;
  Times best[kScripts];
  for (Times& t : best) t = Times{1e9, 1e9};
  for (int r = 0; r < kRepeats; ++r) {
    for (int s = 0; s < kScripts; ++s) {
      const Times t = TimeScript(*host, scripts[s]);
      if (t.cpu < 0) {
        std::fprintf(stderr, "benchmark script %d failed\n", s);
        return 1;
      }
      best[s].cpu = std::min(best[s].cpu, t.cpu);
      best[s].wall = std::min(best[s].wall, t.wall);
    }
  }
  // The text units the listing read, to compare with the C++ listing.
  if (host->RunScript("echo(n, units);", "units.js") != 0) return 1;
  host.reset();
  long listed = 0, units = 0;
  std::rewind(out);
  if (std::fscanf(out, "%ld %ld", &listed, &units) != 2 || listed != count) {
    std::fprintf(stderr, "the script listed %ld of %d messages\n", listed, count);
    return 1;
  }
  std::fclose(out);
  const double perCall = 1e6 / count;
  const double empty = best[2].cpu;
  std::printf("host %.4f %.4f %.4f %.4f %.4f %.4f %.4f %ld\n", best[0].cpu, best[0].wall,
              best[1].cpu, empty, (best[3].cpu - empty) * perCall,
              (best[4].cpu - empty) * perCall, (best[5].cpu - empty) * perCall, units);
  return 0;
}

// ---- IDispatch from C++ (in a process of its own) -------------------------------------

int ListThroughDispatch(STOREFOLDERID inbox, int count) {
  CLSID clsid{};
  ComPtr<IDispatch> control;
  if (FAILED(CoInitialize(nullptr)) || FAILED(CLSIDFromProgID(kControlProgId, &clsid)) ||
      FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              control.PutVoid()))) {
    std::fprintf(stderr, "the control cannot be created\n");
    return 1;
  }
  IDispatch* c = control.Get();
  const DISPID init = vorn_bench::IdOf(c, "InitControl");
  const DISPID setFolder = vorn_bench::IdOf(c, "SetFolder");
  const DISPID getCount = vorn_bench::IdOf(c, "GetMessageCount");
  const DISPID getId = vorn_bench::IdOf(c, "GetMessageId");
  const DISPID subject = vorn_bench::IdOf(c, "GetMessageSubject");
  const DISPID from = vorn_bench::IdOf(c, "GetMessageDisplayFrom");
  const DISPID sent = vorn_bench::IdOf(c, "GetMessageSentTime");
  VARIANT result;
  if (FAILED(vorn_bench::CallById(c, init, {}, &result)) || result.boolVal == VARIANT_FALSE) {
    std::fprintf(stderr, "InitControl failed\n");
    return 1;
  }
  double best[4] = {1e9, 1e9, 1e9, 1e9};
  double bestWall = 1e9;
  size_t units = 0;
  for (int r = 0; r < kRepeats; ++r) {
    Stopwatch watch;
    units = 0;
    if (FAILED(vorn_bench::CallById(c, setFolder, {static_cast<LONG>(inbox)}, &result))) return 1;
    VariantClear(&result);
    if (FAILED(vorn_bench::CallById(c, getCount, {}, &result)) || result.lVal != count) {
      std::fprintf(stderr, "the control lists %d of %d\n", result.lVal, count);
      return 1;
    }
    for (LONG i = 0; i < count; ++i) {
      for (DISPID member : {subject, from, sent}) {
        if (FAILED(vorn_bench::CallById(c, member, {i}, &result))) return 1;
        units += SysStringLen(result.bstrVal);
        VariantClear(&result);
      }
    }
    const Times t = watch.Elapsed();
    best[0] = std::min(best[0], t.cpu);
    bestWall = std::min(bestWall, t.wall);
    // Single calls, as the script makes them.
    const DISPID members[] = {getCount, getId, subject};
    for (int m = 0; m < 3; ++m) {
      Stopwatch calls;
      for (LONG i = 0; i < count; ++i) {
        if (m == 0) {
          vorn_bench::CallById(c, members[m], {}, &result);
        } else {
          vorn_bench::CallById(c, members[m], {i}, &result);
        }
        VariantClear(&result);
      }
      best[1 + m] = std::min(best[1 + m], calls.Elapsed().cpu);
    }
  }
  control = nullptr;
  CoUninitialize();
  const double perCall = 1e6 / count;
  std::printf("dispatch %.4f %.4f %.4f %.4f %.4f %zu\n", best[0], bestWall, best[1] * perCall,
              best[2] * perCall, best[3] * perCall, units);
  return 0;
}

// ---- plain SQLite (in a process of its own) -------------------------------------------

int ListWithSqlite(STOREFOLDERID inbox, int count) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(store_stress::StoreFilePath().c_str(), &db, SQLITE_OPEN_READONLY,
                      nullptr) != SQLITE_OK) {
    return 1;
  }
  Times best{1e9, 1e9};
  for (int r = 0; r < kRepeats; ++r) {
    Stopwatch watch;
    int rows = 0;
    const long bytes = vorn_bench::ReadWithSqlite(db, inbox, &rows);
    const Times t = watch.Elapsed();
    if (bytes < 0 || rows != count) return 1;
    best.cpu = std::min(best.cpu, t.cpu);
    best.wall = std::min(best.wall, t.wall);
  }
  sqlite3_close(db);
  std::printf("sqlite %.4f %.4f\n", best.cpu, best.wall);
  return 0;
}

// Runs one kind of listing in a process of its own and keeps, figure by
// figure, the lowest value seen so far in *best.
bool RunListing(const char* kind, STOREFOLDERID inbox, int count, std::vector<double>* best) {
  std::vector<double> figures;
  if (!vorn_bench::RunSelf({"--list", kind, std::to_string(inbox), std::to_string(count)},
                           &figures)) {
    return false;
  }
  if (best->empty()) {
    *best = figures;
  } else {
    for (size_t i = 0; i < best->size() && i < figures.size(); ++i) {
      (*best)[i] = std::min((*best)[i], figures[i]);
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--list") == 0) {
    const auto inbox = static_cast<STOREFOLDERID>(std::strtoul(argv[3], nullptr, 10));
    const int count = std::atoi(argv[4]);
    if (std::strcmp(argv[2], "host") == 0) return ListThroughHost(inbox, count);
    if (std::strcmp(argv[2], "dispatch") == 0) return ListThroughDispatch(inbox, count);
    return ListWithSqlite(inbox, count);
  }
  const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (count <= 0) {
    std::fprintf(stderr, "usage: bench_host_calls [messages]\n");
    return 1;
  }
  vorn_test::TempRoot root;
  const std::filesystem::path bin = vorn_bench::ProgramDir();
  if (FAILED(CoInitialize(nullptr)) || FAILED(store_stress::RegisterServers())) {
    std::fprintf(stderr, "cannot set up a root with the store registered\n");
    return 1;
  }
  HMODULE modules[] = {vorn_bench::LoadAndRegister(bin / "VORNOUTLOOKEXPRESS.OCX"),
                       vorn_bench::LoadAndRegister(bin / "vornwab.so")};
  if (!modules[0] || !modules[1]) {
    std::fprintf(stderr, "cannot register the control module and the address book in %s\n",
                 bin.c_str());
    return 1;
  }
  std::printf("generating %d messages (seed %llu) in a fresh root...\n", count,
              static_cast<unsigned long long>(kSeed));
  std::fflush(stdout);
  STOREFOLDERID inbox = 0;
  Times imported;
  if (!vorn_bench::FillInbox(count, kSeed, &inbox, &imported)) {
    std::fprintf(stderr, "the store could not be filled\n");
    return 1;
  }
  for (HMODULE module : modules) FreeLibrary(module);
  CoUninitialize();

  std::vector<double> host, dispatch, plain;
  for (int process = 0; process < kProcesses; ++process) {
    if (!RunListing("host", inbox, count, &host) ||
        !RunListing("dispatch", inbox, count, &dispatch) ||
        !RunListing("sqlite", inbox, count, &plain)) {
      std::fprintf(stderr, "a listing failed\n");
      return 1;
    }
  }
  // host: listing, its wall time, the loop without calls, the empty loop,
  // three calls; dispatch: listing, wall, three calls; sqlite: time, wall.
  if (host.size() < 8 || dispatch.size() < 6 || plain.size() < 2) return 1;
  std::printf("calls from a script in microseconds (the empty loop's cost taken off), beside "
              "the same call through IDispatch from C++:\n");
  const char* const kinds[] = {"no argument    GetMessageCount()   ",
                               "one number     GetMessageId(i)     ",
                               "string result  GetMessageSubject(i)"};
  for (int k = 0; k < 3; ++k) {
    std::printf("  %s  script %.3f   C++ %.3f   the script host's share %.3f\n", kinds[k],
                host[4 + k], dispatch[2 + k], host[4 + k] - dispatch[2 + k]);
  }
  std::printf("  (the empty loop of %d steps itself: %.1f ms)\n", count, host[3] * 1e3);
  std::printf("listing %d messages (SetFolder, then subject, sender and sent time of each), "
              "best of %d runs in %d processes, processor time:\n",
              count, kRepeats * kProcesses, kProcesses);
  std::printf("  through the script host    %6.1f ms (wall %.1f ms); the same loop without "
              "the calls %.1f ms\n",
              host[0] * 1e3, host[1] * 1e3, host[2] * 1e3);
  std::printf("  through IDispatch from C++ %6.1f ms (wall %.1f ms)\n", dispatch[0] * 1e3,
              dispatch[1] * 1e3);
  std::printf("  plain SQLite read          %6.1f ms (wall %.1f ms)\n", plain[0] * 1e3,
              plain[1] * 1e3);
  std::printf("ratios: script host / plain SQLite %.2f (goal: within 8); script host / "
              "IDispatch %.2f (goal: within 3); IDispatch / plain SQLite %.2f\n",
              host[0] / plain[0], host[0] / dispatch[0], dispatch[0] / plain[0]);
  if (host[7] != dispatch[5]) {
    std::printf("warning: the script read %.0f text units, C++ %.0f\n", host[7], dispatch[5]);
  }
  return 0;
}
