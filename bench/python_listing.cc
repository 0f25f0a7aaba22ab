// Listing a folder of N messages (100,000 by default) in a fresh root:
// SetFolder, then the subject, sender and sent time of each message, called
// on the control
//  - from C++ through IDispatch (late-bound calls by DISPID, each result
//    a BSTR freed at once), in this process;
//  - from Python through the module `vorn` (bench/python_listing.py), run
//    by the interpreter the module is built for.
// Each figure is the best of several runs, in processor time of the listing
// thread (the machine is shared), wall time beside it; the ratio of the two
// is the figure to watch (goal: Python within 3 times C++).
//
//   bench_python_listing [N]

#include <cstdio>
#include <cstdlib>
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
constexpr int kRepeats = 3;

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

bool ListThroughPython(STOREFOLDERID inbox, int count, Listing* listing) {
  const std::string script = std::string(VORN_SOURCE_DIR) + "/bench/python_listing.py";
  const std::string command = "PYTHONPATH='" VORN_PYTHON_MODULE_DIR "' '" VORN_PYTHON "' '" +
                              script + "' " + std::to_string(count) + " " +
                              std::to_string(inbox) + " " + std::to_string(kRepeats);
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return false;
  char line[256] = {};
  const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
  const int status = pclose(pipe);
  int listed = 0;
  return got && status == 0 &&
         std::sscanf(line, "python %lf %lf %d %ld", &listing->cpu, &listing->wall, &listed,
                     &listing->characters) == 4 &&
         listed == count;
}

}  // namespace

int main(int argc, char** argv) {
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
  Listing cpp, python;
  if (!ListThroughDispatch(inbox, count, &cpp)) {
    std::fprintf(stderr, "the listing through IDispatch failed\n");
    return 1;
  }
  if (!ListThroughPython(inbox, count, &python)) {
    std::fprintf(stderr, "the listing from Python failed\n");
    return 1;
  }
  std::printf("listing %d messages (SetFolder, then subject, sender and sent time of each), "
              "best of %d runs:\n", count, kRepeats);
  std::printf("  C++ through IDispatch  %.3f s processor (%.3f s wall), %ld characters\n",
              cpp.cpu, cpp.wall, cpp.characters);
  std::printf("  Python through vorn    %.3f s processor (%.3f s wall), %ld characters%s\n",
              python.cpu, python.wall, python.characters,
              python.characters == cpp.characters ? "" : " (NOT the same texts)");
  std::printf("  ratio                  %.2f (goal: within 3)\n", python.cpu / cpp.cpu);
  CoUninitialize();
  return python.characters == cpp.characters ? 0 : 1;
}
