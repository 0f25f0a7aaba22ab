// The cost of showing the control on a page, on vornweb's API in process
// (the HTTP transfer left out): drawing the control at a page's sizes as raw
// RGBA and as PNG, and one mouse message with the events it fires read back,
// each against a plain call (GetFolderCount) measured in the same run. Each
// figure is the best of several rounds of processor time per operation.
//
//   bench_web_face [ROUNDS]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "bench/bench_support.h"
#include "hosts/web/api.h"
#include "hosts/web/automation_thread.h"

namespace {

using nlohmann::json;

constexpr int kPerRound = 10;

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::filesystem::path root = vorn_bench::MakeRoot("bench-web-face");
  if (root.empty()) return 1;
  const std::filesystem::path bin = vorn_bench::ProgramDir();
  int status = 0;
  {
    vornweb::Api* api = nullptr;
    vornweb::AutomationThread thread(std::chrono::seconds(1), [] {}, [&] { api->Shutdown(); });
    vornweb::Api theApi(vornweb::ApiOptions{}, &thread);
    api = &theApi;
    auto handle = [&](const char* operation, const json& request) {
      vornweb::ApiReply reply;
      thread.Run([&] { reply = api->Handle(operation, request); });
      return reply;
    };
    bool ready = true;
    thread.Run([&] {
      for (const char* name : {"VORNOUTLOOKEXPRESS.OCX", "vornstore.so", "vornmime.so",
                               "vornwab.so"}) {
        ready = ready && vorn_bench::LoadAndRegister(bin / name) != nullptr;
      }
    });
    const json made = handle("create", {{"name", "VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1"}}).body;
    const int64_t control = made.value("object", int64_t{0});
    if (!ready || control == 0 ||
        handle("call", {{"object", control}, {"member", "InitControl"}}).body["result"] != true ||
        handle("listen", {{"object", control}}).status != 200) {
      std::fprintf(stderr, "bench_web_face: the control could not be set up\n");
      status = 1;
    } else {
      // Best processor time per operation over the rounds, in microseconds.
      auto best = [&](auto&& operation) {
        double fastest = 1e300;
        for (int r = 0; r < rounds; ++r) {
          const double start = vorn_bench::ProcessCpuSeconds();
          for (int i = 0; i < kPerRound; ++i) operation();
          fastest = std::min(fastest, (vorn_bench::ProcessCpuSeconds() - start) / kPerRound);
        }
        return fastest * 1e6;
      };
      const double call = best([&] {
        handle("call", {{"object", control}, {"member", "GetFolderCount"}});
      });
      std::printf("plain call (GetFolderCount)        %10.1f us   1.00\n", call);
      int64_t after = 0;
      const double mouse = best([&] {
        handle("mouse", {{"object", control}, {"action", "move"}, {"x", 5}, {"y", 5}});
        const vornweb::ApiReply got = api->WaitForEvents({{"object", control}, {"after", after}});
        after = got.body.value("after", after);
      });
      std::printf("mouse message, its event read back %10.1f us %6.2f\n", mouse, mouse / call);
      for (const auto& size : {std::pair{240, 48}, std::pair{800, 200}, std::pair{1920, 1080}}) {
        const int width = size.first;
        const int height = size.second;
        size_t bytes[2] = {0, 0};
        double times[2];
        int k = 0;
        for (const char* format : {"rgba", "png"}) {
          times[k] = best([&] {
            bytes[k] = handle("draw", {{"object", control}, {"width", width}, {"height", height},
                                       {"format", format}}).data.size();
          });
          ++k;
        }
        std::printf("draw %4dx%-4d rgba %9zu B %10.1f us %6.2f\n", width, height, bytes[0],
                    times[0], times[0] / call);
        std::printf("draw %4dx%-4d png  %9zu B %10.1f us %6.2f  (png/rgba %.2f)\n", width,
                    height, bytes[1], times[1], times[1] / call, times[1] / times[0]);
      }
    }
    thread.Stop();
  }
  std::filesystem::remove_all(root);
  return status;
}
