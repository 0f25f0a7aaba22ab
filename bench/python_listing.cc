// Listing a folder of N messages (100,000 by default) in a fresh root:
// SetFolder, then the subject, sender and sent time of each message, called
// on the control
//  - from C++ through IDispatch (late-bound calls by DISPID, each result
//    a BSTR freed at once), by this program started again;
//  - from Python through the module `vorn` (bench/python_listing.py), run
//    by the interpreter the module is built for.
// Both run in fresh processes of their own, taking turns, so that neither
// lists in a process the import has warmed or fragmented. Each figure is the
// best of all runs, in processor time of the listing thread (the machine is
// shared), wall time beside it; the ratio of the two is the figure to watch
// (goal: Python within 3 times C++).
//
//   bench_python_listing [N]

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_support.h"
#include "platform/automation.h"
#include "platform/runtime.h"
#include "runtime/automation_client.h"
#include "tests/services/store/stress_support.h"
#include "tests/support/temp_root.h"

namespace {

constexpr char kProgId[] = "VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1";
constexpr int kRepeats = 3;    // runs of a listing in one process
constexpr int kProcesses = 2;  // processes per kind of listing

struct Listing {
  double cpu = 1e9;
  double wall = 1e9;
  long characters = 0;
};

bool Generate(int count, STOREFOLDERID* inbox) {
  ComPtr<IStoreNamespace> store;
  ComPtr<IStoreImport> import;
  if (FAILED(store_stress::OpenStore(&store)) || FAILED(store.As(&import))) return false;
  *inbox = store_stress::FindFolder(store.Get(), FOLDERID_ROOT, "Inbox");
  std::mt19937_64 random(7);
  constexpr int kBatch = 1000;
  for (int first = 0; first < count; first += kBatch) {
    HBATCHLOCK batch = 0;
    if (FAILED(import->BeginBatch(&batch))) return false;
    for (int i = first; i < count && i < first + kBatch; ++i) {
      const std::string text =
          store_stress::MakeStressMessage("Listing message " + std::to_string(i), 600, random);
      if (FAILED(import->ImportMessage(batch, *inbox, reinterpret_cast<const BYTE*>(text.data()),
                                       static_cast<ULONG>(text.size()), nullptr, 0, nullptr))) {
        return false;
      }
    }
    if (FAILED(import->CommitBatch(batch))) return false;
  }
  return true;
}

bool Call(IDispatch* control, DISPID id, const VARIANT* args, size_t count, VARIANT* result) {
  VariantClear(result);
  return SUCCEEDED(vorn_rt::InvokeMember(control, id, vorn_rt::MemberKind::kMethod, args, count,
                                         result, nullptr));
}

bool ListThroughDispatch(STOREFOLDERID inbox, int count, Listing* listing) {
  ComPtr<IDispatch> control;
  if (FAILED(vorn_rt::CreateAutomationObject(kProgId, control.Put()))) return false;
  DISPID init, setFolder, messages, subject, from, sent;
  const std::pair<const char*, DISPID*> names[] = {
      {"InitControl", &init},           {"SetFolder", &setFolder},
      {"GetMessageCount", &messages},   {"GetMessageSubject", &subject},
      {"GetMessageDisplayFrom", &from}, {"GetMessageSentTime", &sent}};
  for (auto [name, id] : names) {
    if (FAILED(vorn_rt::IdOfName(control.Get(), name, id))) return false;
  }
  VARIANT result;
  VariantInit(&result);
  bool ok = Call(control.Get(), init, nullptr, 0, &result) && result.boolVal != VARIANT_FALSE;
  for (int r = 0; ok && r < kRepeats; ++r) {
    const double cpu = vorn_bench::ThreadCpuSeconds();
    const double wall = vorn_bench::WallSeconds();
    VARIANT arg;
    arg.vt = VT_I4;
    arg.lVal = static_cast<LONG>(inbox);
    ok = Call(control.Get(), setFolder, &arg, 1, &result) &&
         Call(control.Get(), messages, nullptr, 0, &result) && result.lVal == count;
    long characters = 0;
    for (LONG i = 0; ok && i < count; ++i) {
      arg.lVal = i;
      for (DISPID member : {subject, from, sent}) {
        ok = ok && Call(control.Get(), member, &arg, 1, &result);
        if (ok) characters += SysStringLen(result.bstrVal);
      }
    }
    listing->cpu = std::min(listing->cpu, vorn_bench::ThreadCpuSeconds() - cpu);
    listing->wall = std::min(listing->wall, vorn_bench::WallSeconds() - wall);
    listing->characters = characters;
  }
  VariantClear(&result);
  return ok;
}

// Runs `command`, whose one line of output is "<name> <processor seconds>
// <wall seconds> <messages> <characters>", and folds its figures into
// *listing (the best times).
bool RunListing(const std::string& command, int count, Listing* listing) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return false;
  char line[256] = {};
  const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
  const int status = pclose(pipe);
  Listing run;
  int listed = 0;
  if (!got || status != 0 ||
      std::sscanf(line, "%*s %lf %lf %d %ld", &run.cpu, &run.wall, &listed, &run.characters) !=
          4 ||
      listed != count) {
    return false;
  }
  listing->cpu = std::min(listing->cpu, run.cpu);
  listing->wall = std::min(listing->wall, run.wall);
  listing->characters = run.characters;
  return true;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--list") == 0) {
    const int count = std::atoi(argv[2]);
    Listing listing;
    if (FAILED(CoInitialize(nullptr)) ||
        !ListThroughDispatch(static_cast<STOREFOLDERID>(std::strtoul(argv[3], nullptr, 10)),
                             count, &listing)) {
      return 1;
    }
    std::printf("c++ %.4f %.4f %d %ld\n", listing.cpu, listing.wall, count, listing.characters);
    CoUninitialize();
    return 0;
  }
  const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (count <= 0) {
    std::fprintf(stderr, "usage: bench_python_listing [messages]\n");
    return 1;
  }
  vorn_test::TempRoot root;
  const std::string ocx = vorn_test::BinDir() + "/VORNOUTLOOKEXPRESS.OCX";
  STOREFOLDERID inbox = 0;
  if (FAILED(CoInitialize(nullptr)) || FAILED(store_stress::RegisterServers()) ||
      !vorn_bench::LoadAndRegister(ocx) || !Generate(count, &inbox)) {
    std::fprintf(stderr, "cannot set up a root with %d messages\n", count);
    return 1;
  }
  CoUninitialize();
  const std::string self = vorn_test::BinDir() + "/bench_python_listing";
  const std::string cppCommand =
      Quoted(self) + " --list " + std::to_string(count) + " " + std::to_string(inbox);
  const std::string pythonCommand =
      "PYTHONPATH=" + Quoted(VORN_PYTHON_MODULE_DIR) + " " + Quoted(VORN_PYTHON) + " " +
      Quoted(std::string(VORN_SOURCE_DIR) + "/bench/python_listing.py") + " " +
      std::to_string(count) + " " + std::to_string(inbox) + " " + std::to_string(kRepeats);
  Listing cpp, python;
  for (int process = 0; process < kProcesses; ++process) {
    if (!RunListing(cppCommand, count, &cpp)) {
      std::fprintf(stderr, "the listing through IDispatch failed\n");
      return 1;
    }
    if (!RunListing(pythonCommand, count, &python)) {
      std::fprintf(stderr, "the listing from Python failed\n");
      return 1;
    }
  }
  std::printf("listing %d messages (SetFolder, then subject, sender and sent time of each), "
              "best of %d runs in %d processes each:\n", count, kRepeats * kProcesses,
              kProcesses);
  std::printf("  C++ through IDispatch  %.3f s processor (%.3f s wall), %ld characters\n",
              cpp.cpu, cpp.wall, cpp.characters);
  std::printf("  Python through vorn    %.3f s processor (%.3f s wall), %ld characters%s\n",
              python.cpu, python.wall, python.characters,
              python.characters == cpp.characters ? "" : " (NOT the same texts)");
  std::printf("  ratio                  %.2f (goal: within 3)\n", python.cpu / cpp.cpu);
  return python.characters == cpp.characters ? 0 : 1;
}
