// The import rate of vornimport's importer: a generated mbox file of N
// messages (default 10,000) into a fresh store through vornstore.so and
// vornmime.so, and the shares of its steps, each measured on its own:
//
//   read        splitting and unquoting the mbox file
//   digest      the store's SHA-256 of every message
//   parse       the MIME library loading every message (what the store does
//               at commit to read the header fields it keeps)
//   store       ImportMessage of every message in batches, no duplicate check
//   import      the whole importer, first run (everything stored)
//   rerun       the whole importer again (everything skipped as a duplicate)
//
// Each line gives the wall time and the processor time of this thread (the
// store runs in it); on a machine shared with other work, the processor
// time is the steadier figure. Wall time includes waiting for the disk.
//
//   bench_import [N]

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "hosts/import/importer.h"
#include "hosts/import/mbox_reader.h"
#include "platform/loader.h"
#include "platform/mime.h"
#include "platform/runtime.h"
#include "platform/store_import.h"
#include "runtime/com_ptr.h"
#include "tests/hosts/import/sample_mail.h"
#include "tests/support/temp_root.h"

namespace {

struct Times {
  double wall;
  double cpu;
};

Times Now() { return {vorn_bench::WallSeconds(), vorn_bench::ThreadCpuSeconds()}; }

void Print(const char* step, Times from, Times to, size_t messages) {
  double wall = to.wall - from.wall;
  double cpu = to.cpu - from.cpu;
  std::printf("  %-8s wall %7.3f s %9.0f messages/s   cpu %7.3f s %9.0f messages/s\n", step, wall,
              static_cast<double>(messages) / wall, cpu, static_cast<double>(messages) / cpu);
}

bool Register(const std::string& path) {
  HMODULE module = vorn_bench::LoadAndRegister(path);
  if (!module) return false;
  FreeLibrary(module);
  return true;
}

int Run(int count) {
  vorn_test::TempRoot root;
  std::string bin = vorn_test::BinDir();
  if (!Register(bin + "/vornstore.so") || !Register(bin + "/vornmime.so")) {
    std::fprintf(stderr, "bench_import: cannot register the store server and MIME library\n");
    return 1;
  }
  std::string path = root.path() + "/bench.mbox";
  {
    std::string mbox = import_test::GeneratedMbox(0, count);
    vorn_bench::WriteFile(path, mbox);
    std::printf("bench_import: %d generated messages, %.1f MB of mbox\n", count,
                static_cast<double>(mbox.size()) / 1e6);
  }

  // The messages in memory, for the steps measured apart from reading.
  std::vector<std::string> messages;
  Times start = Now();
  {
    vorn_import::MboxReader reader;
    std::string error;
    if (!reader.Open(path, &error)) return 1;
    vorn_import::MboxMessage message;
    while (reader.Next(&message) == vorn_import::MboxReader::Result::kMessage) {
      messages.emplace_back(message.bytes);
    }
  }
  Print("read", start, Now(), messages.size());

  ComPtr<IStoreNamespace> store;
  ComPtr<IStoreImport> import;
  if (FAILED(CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IStoreNamespace, store.PutVoid())) ||
      FAILED(store->Initialize(nullptr, 0)) || FAILED(store.As(&import))) {
    std::fprintf(stderr, "bench_import: cannot open the store\n");
    return 1;
  }

  start = Now();
  BYTE digest[CB_MESSAGE_DIGEST];
  for (const std::string& m : messages) {
    import->GetMessageDigest(reinterpret_cast<const BYTE*>(m.data()), static_cast<ULONG>(m.size()),
                             digest, sizeof(digest));
  }
  Print("digest", start, Now(), messages.size());

  ComPtr<IClassFactory> factory;
  if (FAILED(CoGetClassObject(CLSID_VornMimeMessage, CLSCTX_INPROC_SERVER, nullptr,
                              IID_IClassFactory, factory.PutVoid()))) {
    std::fprintf(stderr, "bench_import: no MIME message class\n");
    return 1;
  }
  start = Now();
  for (const std::string& m : messages) {
    ComPtr<IPersistStreamInit> parsed;
    factory->CreateInstance(nullptr, IID_IPersistStreamInit, parsed.PutVoid());
    vorn_bench::BorrowedStream stream(m);
    if (parsed) parsed->Load(&stream);
  }
  Print("parse", start, Now(), messages.size());

  // The store alone, into a folder of its own (it does not look for
  // duplicates itself).
  STOREFOLDERID scratch = FOLDERID_INVALID;
  store->CreateFolder(FOLDERID_ROOT, "Scratch", 0, &scratch);
  start = Now();
  HBATCHLOCK batch = 0;
  for (size_t i = 0; i < messages.size(); ++i) {
    if (batch == 0) import->BeginBatch(&batch);
    import->ImportMessage(batch, scratch, reinterpret_cast<const BYTE*>(messages[i].data()),
                          static_cast<ULONG>(messages[i].size()), nullptr, 0, nullptr);
    if ((i + 1) % 1000 == 0) {
      import->CommitBatch(batch);
      batch = 0;
    }
  }
  if (batch != 0) import->CommitBatch(batch);
  Print("store", start, Now(), messages.size());
  store->DeleteFolder(scratch, 0);
  import = nullptr;
  store = nullptr;

  for (const char* step : {"import", "rerun"}) {
    FILE* sink = std::fopen("/dev/null", "w");
    start = Now();
    int status = vorn_import::RunImport({"--folder", "Bench", path}, sink, sink);
    Times end = Now();
    std::fclose(sink);
    if (status != 0) {
      std::fprintf(stderr, "bench_import: the import failed (%d)\n", status);
      return 1;
    }
    Print(step, start, end, messages.size());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  if (count <= 0) {
    std::fprintf(stderr, "usage: bench_import [N]\n");
    return 2;
  }
  if (FAILED(CoInitialize(nullptr))) return 1;
  int status = Run(count);
  CoUninitialize();
  return status;
}
