// The store server under load, on a generated store of N messages (100,000
// by default) in the Inbox of a fresh root:
//  - import: the messages go in through the import extension in batches of
//    1,000; messages per second (goal: 10,000);
//  - listing through CMailStore: SetFolder, then every subject, sender and
//    sent time by index, against the same three fields read with a plain
//    SQLite query on the same database file; both times and their ratio
//    (goal: within 2 times);
//  - peak memory of the listing: the resident set's high-water mark of a
//    fresh process that makes the list, and its growth over the resident set
//    before SetFolder (goal: under 40 MB);
//  - the same listing through the control's IDispatch, when the control
//    module has been built;
//  - the upgrade of the same store from the first database layout: the
//    store is turned back into that layout (its folders lose their name
//    keys), and a fresh process opens it, which derives every message's
//    cached fields again (goal: a few seconds).
// Each listing runs in a process of its own, so that neither the import nor
// another listing weighs on its memory figures. Times are processor time of
// the process (the machine is shared), wall time beside them.
//
//   bench_store_load [N] [root folder, kept and reused]

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_support.h"
#include "bench/listing_support.h"
#include "platform/automation.h"
#include "platform/loader.h"
#include "platform/runtime.h"
#include "store/mailstore.h"
#include "tests/services/store/stress_support.h"
#include "tests/support/temp_root.h"

namespace {

constexpr char kControlProgId[] = "VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1";
constexpr int kRepeats = 5;    // runs of a listing in one process
constexpr int kProcesses = 3;  // processes per kind of listing

using vorn_bench::Stopwatch;
using vorn_bench::Times;

// A value of /proc/self/status in megabytes ("VmRSS", "VmHWM").
double StatusMegabytes(const char* field) {
  return static_cast<double>(vorn_bench::StatusKb(field)) / 1024.0;
}

// ---- generate (in the parent) ------------------------------------------------

bool Generate(int count, STOREFOLDERID* inbox) {
  Times inStore;
  if (!vorn_bench::FillInbox(count, 42, inbox, &inStore)) return false;
  if (inStore.cpu == 0 && inStore.wall == 0) {
    std::printf("import: not measured, the store of the given root holds the messages\n");
    return true;
  }
  std::printf("import: %d messages in batches of 1000: %.1f s processor (%.1f s wall): "
              "%.0f messages/s (goal 10000; wall %.0f/s)\n",
              count, inStore.cpu, inStore.wall, count / inStore.cpu, count / inStore.wall);
  return true;
}

// ---- list (each in a process of its own) --------------------------------------

int ListThroughMailStore(STOREFOLDERID inbox, int count) {
  CMailStore mail;
  if (!mail.OpenSession()) {
    std::fprintf(stderr, "the session did not open\n");
    return 1;
  }
  const double before = StatusMegabytes("VmRSS");
  Times best{1e9, 1e9};
  double bestSetFolder = 1e9;
  size_t bytes = 0;
  for (int r = 0; r < kRepeats; ++r) {
    Stopwatch watch;
    if (mail.SetFolder(static_cast<int32_t>(inbox)) != 1) return 1;
    bestSetFolder = std::min(bestSetFolder, watch.Elapsed().cpu);
    const int32_t n = mail.GetMessageCount();
    if (n != count) {
      std::fprintf(stderr, "listed %d of %d\n", n, count);
      return 1;
    }
    for (int32_t i = 0; i < n; ++i) {
      bytes += mail.GetMessageSubject(i).size() + mail.GetMessageDisplayFrom(i).size() +
               mail.GetMessageSentTime(i).size();
    }
    Times t = watch.Elapsed();
    best.cpu = std::min(best.cpu, t.cpu);
    best.wall = std::min(best.wall, t.wall);
  }
  const double peak = StatusMegabytes("VmHWM");
  std::printf("mailstore %.4f %.4f %.1f %.1f %.4f %zu\n", best.cpu, best.wall, before, peak,
              bestSetFolder, bytes / kRepeats);
  return 0;
}

int ListWithSqlite(const std::string& file, STOREFOLDERID inbox, int count) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return 1;
  Times best{1e9, 1e9};
  size_t bytes = 0;
  for (int r = 0; r < kRepeats; ++r) {
    Stopwatch watch;
    int n = 0;
    const long read = vorn_bench::ReadWithSqlite(db, inbox, &n);
    Times t = watch.Elapsed();
    if (read < 0 || n != count) return 1;
    bytes += static_cast<size_t>(read);
    best.cpu = std::min(best.cpu, t.cpu);
    best.wall = std::min(best.wall, t.wall);
  }
  sqlite3_close(db);
  std::printf("sqlite %.4f %.4f 0 0 0 %zu\n", best.cpu, best.wall, bytes / kRepeats);
  return 0;
}

// The store's own share of a listing: the enumeration through the store
// interfaces, every message's properties fetched and handed back, nothing
// kept.
int ListThroughStore(STOREFOLDERID inbox, int count) {
  ComPtr<IStoreNamespace> store;
  ComPtr<IStoreFolder> folder;
  if (FAILED(CoInitialize(nullptr)) || FAILED(store_stress::OpenStore(&store)) ||
      FAILED(store->OpenFolder(inbox, 0, folder.Put()))) {
    return 1;
  }
  Times best{1e9, 1e9};
  size_t bytes = 0;
  for (int r = 0; r < kRepeats; ++r) {
    Stopwatch watch;
    MESSAGEPROPS props{};
    props.cbSize = CB_MESSAGEPROPS;
    HENUMSTORE handle = 0;
    int n = 0;
    HRESULT hr = folder->GetFirstMessage(0, 0, MESSAGEID_FIRST, &props, &handle);
    while (hr == S_OK) {
      bytes += std::strlen(props.pszSubject) + std::strlen(props.pszDisplayFrom);
      ++n;
      folder->FreeMessageProps(&props);
      hr = folder->GetNextMessage(handle, 0, &props);
    }
    if (handle) folder->GetMessageClose(handle);
    Times t = watch.Elapsed();
    if (n != count) return 1;
    best.cpu = std::min(best.cpu, t.cpu);
    best.wall = std::min(best.wall, t.wall);
  }
  folder = nullptr;
  store = nullptr;
  CoUninitialize();
  std::printf("store %.4f %.4f 0 0 0 %zu\n", best.cpu, best.wall, bytes / kRepeats);
  return 0;
}

using vorn_bench::IdOf;

HRESULT Call(IDispatch* object, DISPID id, std::vector<LONG> args, VARIANT* result) {
  return vorn_bench::CallById(object, id, std::move(args), result);
}

int ListThroughDispatch(STOREFOLDERID inbox, int count) {
  CLSID clsid{};
  ComPtr<IDispatch> control;
  if (FAILED(CoInitialize(nullptr)) || FAILED(CLSIDFromProgID(kControlProgId, &clsid)) ||
      FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              control.PutVoid()))) {
    std::fprintf(stderr, "the control cannot be created\n");
    return 1;
  }
  const DISPID init = IdOf(control.Get(), "InitControl");
  const DISPID setFolder = IdOf(control.Get(), "SetFolder");
  const DISPID getCount = IdOf(control.Get(), "GetMessageCount");
  const DISPID subject = IdOf(control.Get(), "GetMessageSubject");
  const DISPID from = IdOf(control.Get(), "GetMessageDisplayFrom");
  const DISPID sent = IdOf(control.Get(), "GetMessageSentTime");
  VARIANT result;
  if (FAILED(Call(control.Get(), init, {}, &result))) return 1;
  VariantClear(&result);
  const double before = StatusMegabytes("VmRSS");
  Times best{1e9, 1e9};
  size_t units = 0;
  for (int r = 0; r < kRepeats; ++r) {
    Stopwatch watch;
    if (FAILED(Call(control.Get(), setFolder, {static_cast<LONG>(inbox)}, &result))) return 1;
    VariantClear(&result);
    if (FAILED(Call(control.Get(), getCount, {}, &result)) || result.lVal != count) {
      std::fprintf(stderr, "the control lists %d of %d\n", result.lVal, count);
      return 1;
    }
    for (LONG i = 0; i < count; ++i) {
      for (DISPID member : {subject, from, sent}) {
        if (FAILED(Call(control.Get(), member, {i}, &result))) return 1;
        units += SysStringLen(result.bstrVal);
        VariantClear(&result);
      }
    }
    Times t = watch.Elapsed();
    best.cpu = std::min(best.cpu, t.cpu);
    best.wall = std::min(best.wall, t.wall);
  }
  const double peak = StatusMegabytes("VmHWM");
  control = nullptr;
  CoUninitialize();
  std::printf("dispatch %.4f %.4f %.1f %.1f 0 %zu\n", best.cpu, best.wall, before, peak,
              units / kRepeats);
  return 0;
}

// ---- upgrade (in a process of its own) ---------------------------------------

// Turns the store of the current root back into the first layout.
bool MakeFirstLayout() {
  sqlite3* db = nullptr;
  bool ok = sqlite3_open(store_stress::StoreFilePath().c_str(), &db) == SQLITE_OK &&
            sqlite3_exec(db,
                         "BEGIN IMMEDIATE; DROP INDEX folders_name;"
                         " ALTER TABLE folders DROP COLUMN name_key;"
                         " CREATE INDEX folders_parent ON folders(parent);"
                         " PRAGMA user_version=1; COMMIT;",
                         nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

// Opens the store, which upgrades it, and prints "upgrade CPU WALL 0 0 0".
int OpenAndUpgrade() {
  if (FAILED(CoInitialize(nullptr))) return 1;
  ComPtr<IStoreNamespace> store;
  Stopwatch watch;
  HRESULT hr = store_stress::OpenStore(&store);
  Times t = watch.Elapsed();
  if (FAILED(hr)) {
    std::fprintf(stderr, "the store did not open: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  std::printf("upgrade %.4f %.4f 0 0 0\n", t.cpu, t.wall);
  return 0;
}

// Runs this program again with `args` and folds the numbers of its one
// result line into *figures: processor time, wall time, RSS before SetFolder,
// high-water mark, processor time of SetFolder alone.
bool RunListing(const std::vector<std::string>& args, std::vector<double>* figures) {
  std::vector<double> numbers;
  if (!vorn_bench::RunSelf(args, &numbers) || numbers.size() < 5) return false;
  const double cpu = numbers[0], wall = numbers[1], before = numbers[2], peak = numbers[3],
               setFolder = numbers[4];
  // Times: the best so far; memory: the highest so far.
  const std::vector<double> now = {cpu, wall, before, peak, setFolder};
  if (figures->empty()) {
    *figures = now;
  } else {
    for (int i : {0, 1, 4}) (*figures)[i] = std::min((*figures)[i], now[i]);
    for (int i : {2, 3}) (*figures)[i] = std::max((*figures)[i], now[i]);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--open") == 0) return OpenAndUpgrade();
  if (argc == 5 && std::strcmp(argv[1], "--list") == 0) {
    const auto inbox = static_cast<STOREFOLDERID>(std::strtoul(argv[3], nullptr, 10));
    const int count = std::atoi(argv[4]);
    if (std::strcmp(argv[2], "mailstore") == 0) return ListThroughMailStore(inbox, count);
    if (std::strcmp(argv[2], "dispatch") == 0) return ListThroughDispatch(inbox, count);
    if (std::strcmp(argv[2], "store") == 0) return ListThroughStore(inbox, count);
    return ListWithSqlite(store_stress::StoreFilePath(), inbox, count);
  }
  const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (count <= 0) {
    std::fprintf(stderr, "usage: bench_store_load [messages]\n");
    return 1;
  }

  // A given root is kept, and its store reused when it holds the messages.
  std::unique_ptr<vorn_test::TempRoot> temporary;
  if (argc > 2) {
    setenv("VORN_ROOT", argv[2], 1);
  } else {
    temporary = std::make_unique<vorn_test::TempRoot>();
  }
  if (FAILED(CoInitialize(nullptr)) || FAILED(store_stress::RegisterServers())) {
    std::fprintf(stderr, "cannot set up a root with the store registered\n");
    return 1;
  }
  STOREFOLDERID inbox = 0;
  if (!Generate(count, &inbox)) {
    std::fprintf(stderr, "the import failed\n");
    return 1;
  }
  CoUninitialize();

  const std::string folder = std::to_string(inbox);
  const std::string n = std::to_string(count);
  // The listings take turns, in processes of their own, and each figure is
  // the best of all their runs: on a shared machine the best run is the one
  // least disturbed by the others.
  std::vector<double> mail, plain, enumeration, dispatch;
  for (int process = 0; process < kProcesses; ++process) {
    if (!RunListing({"--list", "mailstore", folder, n}, &mail) ||
        !RunListing({"--list", "sqlite", folder, n}, &plain) ||
        !RunListing({"--list", "store", folder, n}, &enumeration)) {
      std::fprintf(stderr, "a listing failed\n");
      return 1;
    }
  }
  std::printf("listing %d messages (SetFolder, then subject, sender and sent time of each), "
              "best of %d runs in %d processes:\n", count, kRepeats * kProcesses, kProcesses);
  std::printf("  CMailStore        %.3f s processor (%.3f s wall); SetFolder alone %.3f s\n",
              mail[0], mail[1], mail[4]);
  std::printf("  plain SQLite      %.3f s processor (%.3f s wall)\n", plain[0], plain[1]);
  std::printf("  ratio             %.2f (goal: within 2)\n", mail[0] / plain[0]);
  std::printf("  of which the store's enumeration alone (properties fetched and freed) "
              "%.3f s processor\n", enumeration[0]);
  std::printf("memory of the CMailStore listing: RSS %.1f MB before SetFolder, high-water mark "
              "%.1f MB, the list's share %.1f MB (goal: under 40 MB)\n",
              mail[2], mail[3], mail[3] - mail[2]);

  const std::string ocx = vorn_test::BinDir() + "/VORNOUTLOOKEXPRESS.OCX";
  HMODULE module = access(ocx.c_str(), R_OK) == 0 ? LoadLibraryA(ocx.c_str()) : nullptr;
  auto reg = module ? reinterpret_cast<LPFNREGISTERSERVER>(
                          GetProcAddress(module, "DllRegisterServer"))
                    : nullptr;
  if (!reg || FAILED(reg())) {
    std::printf("IDispatch: not measured, the control module is not built\n");
  } else if (!RunListing({"--list", "dispatch", folder, n}, &dispatch)) {
    std::printf("IDispatch: the listing through the control failed\n");
  } else {
    std::printf("  through IDispatch %.3f s processor (%.3f s wall), %.2f times plain SQLite; "
                "high-water mark %.1f MB (%.1f MB over the RSS before SetFolder)\n",
                dispatch[0], dispatch[1], dispatch[0] / plain[0], dispatch[3],
                dispatch[3] - dispatch[2]);
  }

  std::vector<double> upgrade;
  if (!MakeFirstLayout() || !RunListing({"--open"}, &upgrade)) {
    std::fprintf(stderr, "the upgrade from the first layout failed\n");
    return 1;
  }
  std::printf("upgrade of %d messages from the first database layout (cached fields derived "
              "again): %.2f s processor (%.2f s wall) (goal: a few seconds)\n",
              count, upgrade[0], upgrade[1]);
  return 0;
}
