// The export rate of vornexport's exporter against the import rate of
// vornimport's importer, both measured in this run: a generated mbox file of
// N messages (default 10,000) is imported into a folder of a fresh store,
// and that folder is exported as mbox, Maildir and .eml into fresh folders,
// then once more into the same folders (everything already there). This is
// done R times (default 3) with other messages each time, and each step's
// best time is printed: the wall time, the processor time of the process
// and the rate, the export's rate as a multiple of the import's (wall and
// processor time), and the slowest of the R runs. The last column is the
// peak memory of the process after the step, which an export should not
// raise.
//
// Nothing is removed before the end: a file system that will not reuse a
// freed inode for a while (ext4 without a journal does so for a minute or
// more) makes every new file look past the recently freed ones near it, and
// Maildir and .eml exports make a file per message. Files removed in the
// folder's neighbourhood just before, by this program or another one, slow
// them down; TMPDIR chooses where the store and the exports go.
//
//   bench_export [N [R]]

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "hosts/export/exporter.h"
#include "hosts/import/importer.h"
#include "tests/hosts/import/sample_mail.h"
#include "tests/support/temp_root.h"

namespace {

struct Step {
  double wall = 0;
  double cpu = 0;
};

// The runs of one step.
struct Runs {
  Step best{1e30, 1e30};
  double slowest = 0;
  long peakKb = 0;

  void Add(const Step& step) {
    best.wall = std::min(best.wall, step.wall);
    best.cpu = std::min(best.cpu, step.cpu);
    slowest = std::max(slowest, step.wall);
    peakKb = vorn_bench::StatusKb("VmHWM");
  }
};

bool Register(const std::string& path) {
  HMODULE module = vorn_bench::LoadAndRegister(path);
  if (!module) return false;
  FreeLibrary(module);
  return true;
}

template <typename Work>
bool Measure(Work work, Runs* runs) {
  double wall = vorn_bench::WallSeconds();
  double cpu = vorn_bench::ProcessCpuSeconds();
  bool ok = work();
  runs->Add({vorn_bench::WallSeconds() - wall, vorn_bench::ProcessCpuSeconds() - cpu});
  return ok;
}

void Print(const std::string& name, const Runs& runs, int count, const Runs* baseline) {
  const Step& step = runs.best;
  std::printf("  %-20s wall %7.3f s  cpu %7.3f s %9.0f messages/s", name.c_str(), step.wall,
              step.cpu, count / step.wall);
  if (baseline) {
    std::printf("  %6.2fx import (cpu %6.2fx)", baseline->best.wall / step.wall,
                baseline->best.cpu / step.cpu);
  } else {
    std::printf("  %-28s", "");
  }
  std::printf("  slowest %7.3f s  peak %ld kB\n", runs.slowest, runs.peakKb);
}

int Run(int count, int repeats) {
  vorn_test::TempRoot root;
  std::string bin = vorn_test::BinDir();
  if (!Register(bin + "/vornstore.so") || !Register(bin + "/vornmime.so")) {
    std::fprintf(stderr, "bench_export: cannot register the store server and MIME library\n");
    return 1;
  }
  std::printf("bench_export: %d generated messages, best of %d runs, in %s\n", count, repeats,
              root.path().c_str());
  FILE* sink = std::fopen("/dev/null", "w");
  const char* const formats[] = {"mbox", "maildir", "eml"};
  Runs import;
  std::map<std::string, Runs> exports;
  for (int run = 0; run < repeats; ++run) {
    std::string folder = "Bench" + std::to_string(run);
    std::string path = root.path() + "/" + folder + ".mbox";
    vorn_bench::WriteFile(path, import_test::GeneratedMbox(run * count, count));
    if (!Measure(
            [&] { return vorn_import::RunImport({"--folder", folder, path}, sink, sink) == 0; },
            &import)) {
      std::fprintf(stderr, "bench_export: the import failed\n");
      return 1;
    }
    for (const char* format : formats) {
      std::string dest = root.path() + "/" + folder + "-" + format;
      for (const char* again : {"", " again"}) {
        if (!Measure(
                [&] {
                  return vorn_export::RunExport({"--folder", folder, "--format", format, dest},
                                                sink, sink) == 0;
                },
                &exports[std::string("export ") + format + again])) {
          std::fprintf(stderr, "bench_export: the %s export failed\n", format);
          return 1;
        }
      }
    }
  }
  Print("import", import, count, nullptr);
  for (const char* format : formats) {
    for (const char* again : {"", " again"}) {
      std::string name = std::string("export ") + format + again;
      Print(name, exports[name], count, &import);
    }
  }
  std::fclose(sink);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
  if (count <= 0 || repeats <= 0) {
    std::fprintf(stderr, "usage: bench_export [N [R]]\n");
    return 2;
  }
  if (FAILED(CoInitialize(nullptr))) return 1;
  int status = Run(count, repeats);
  CoUninitialize();
  return status;
}
