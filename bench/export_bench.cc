// The export rate of vornexport's exporter against the import rate of
// vornimport's importer, both measured in this run: a generated mbox file of
// N messages (default 10,000) is imported into a fresh store, and that
// folder is exported as mbox, Maildir and .eml into fresh folders, then once
// more into the same folders (everything already there). Each line gives
// the wall time, the processor time of the process and the rate, and the
// export's rate as a share of the import's; the last column is the peak
// memory of the process after the step, which an export should not raise.
//
//   bench_export [N]

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_support.h"
#include "hosts/export/exporter.h"
#include "hosts/import/importer.h"
#include "tests/hosts/import/sample_mail.h"
#include "tests/support/temp_root.h"

namespace {

struct Step {
  double wall;
  double cpu;
};

bool Register(const std::string& path) {
  HMODULE module = vorn_bench::LoadAndRegister(path);
  if (!module) return false;
  FreeLibrary(module);
  return true;
}

template <typename Work>
bool Measure(Work work, Step* step) {
  double wall = vorn_bench::WallSeconds();
  double cpu = vorn_bench::ProcessCpuSeconds();
  bool ok = work();
  step->wall = vorn_bench::WallSeconds() - wall;
  step->cpu = vorn_bench::ProcessCpuSeconds() - cpu;
  return ok;
}

void Print(const char* name, const Step& step, int count, const Step* baseline) {
  double rate = count / step.wall;
  std::printf("  %-16s wall %7.3f s  cpu %7.3f s %9.0f messages/s", name, step.wall, step.cpu,
              rate);
  if (baseline) {
    std::printf("  %5.2fx import (cpu %5.2fx)", rate / (count / baseline->wall),
                baseline->cpu / step.cpu);
  }
  std::printf("  peak %ld kB\n", vorn_bench::StatusKb("VmHWM"));
}

int Run(int count) {
  vorn_test::TempRoot root;
  std::string bin = vorn_test::BinDir();
  if (!Register(bin + "/vornstore.so") || !Register(bin + "/vornmime.so")) {
    std::fprintf(stderr, "bench_export: cannot register the store server and MIME library\n");
    return 1;
  }
  std::string path = root.path() + "/bench.mbox";
  {
    std::string mbox = import_test::GeneratedMbox(0, count);
    vorn_bench::WriteFile(path, mbox);
    std::printf("bench_export: %d generated messages, %.1f MB of mbox\n", count,
                static_cast<double>(mbox.size()) / 1e6);
  }
  FILE* sink = std::fopen("/dev/null", "w");
  Step import{};
  bool ok = Measure(
      [&] { return vorn_import::RunImport({"--folder", "Bench", path}, sink, sink) == 0; },
      &import);
  if (!ok) {
    std::fprintf(stderr, "bench_export: the import failed\n");
    return 1;
  }
  Print("import", import, count, nullptr);
  for (const char* format : {"mbox", "maildir", "eml"}) {
    std::string dest = root.path() + "/out-" + format;
    for (const char* run : {"", " again"}) {
      Step step{};
      ok = Measure(
          [&] {
            return vorn_export::RunExport({"--folder", "Bench", "--format", format, dest}, sink,
                                          sink) == 0;
          },
          &step);
      if (!ok) {
        std::fprintf(stderr, "bench_export: the %s export failed\n", format);
        return 1;
      }
      Print((std::string("export ") + format + run).c_str(), step, count, &import);
    }
  }
  std::fclose(sink);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  if (count <= 0) {
    std::fprintf(stderr, "usage: bench_export [N]\n");
    return 2;
  }
  if (FAILED(CoInitialize(nullptr))) return 1;
  int status = Run(count);
  CoUninitialize();
  return status;
}
