#include "hosts/common/progress.h"

#include <time.h>

#include <algorithm>
#include <cinttypes>

namespace vorn_host {
namespace {

constexpr int kBarWidth = 20;
constexpr double kRedrawInterval = 0.1;
// Below this much time or data, a rate says nothing yet.
constexpr double kSettleSeconds = 0.5;

std::string Duration(double seconds) {
  auto total = static_cast<uint64_t>(seconds + 0.5);
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof(text), "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, total / 3600,
                  total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof(text), "%" PRIu64 ":%02" PRIu64, total / 60, total % 60);
  }
  return text;
}

}  // namespace

double SteadySeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string FormatProgress(uint64_t doneBytes, uint64_t totalBytes, uint64_t messages,
                           double seconds) {
  doneBytes = std::min(doneBytes, totalBytes);
  double fraction =
      totalBytes == 0 ? 1.0 : static_cast<double>(doneBytes) / static_cast<double>(totalBytes);
  int filled = static_cast<int>(fraction * kBarWidth);
  std::string bar = "[";
  for (int i = 0; i < kBarWidth; ++i) {
    bar += i < filled ? '=' : (i == filled ? '>' : ' ');
  }
  bar += "]";
  std::string rate = "--";
  std::string eta = "--:--";
  if (seconds >= kSettleSeconds && doneBytes > 0) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.0f", static_cast<double>(messages) / seconds);
    rate = text;
    double left =
        static_cast<double>(totalBytes - doneBytes) / (static_cast<double>(doneBytes) / seconds);
    eta = Duration(left);
  }
  char line[160];
  std::snprintf(line, sizeof(line), "%s %3d%%  %" PRIu64 " messages  %s/s  ETA %s", bar.c_str(),
                static_cast<int>(fraction * 100), messages, rate.c_str(), eta.c_str());
  return line;
}

ProgressBar::ProgressBar(FILE* out, bool enabled) : out_(out), enabled_(enabled && out) {}

void ProgressBar::Start(uint64_t totalBytes) {
  totalBytes_ = totalBytes;
  started_ = SteadySeconds();
  lastDrawn_ = -1;
}

void ProgressBar::Update(uint64_t doneBytes, uint64_t messages) {
  if (!enabled_) return;
  double now = SteadySeconds();
  if (lastDrawn_ >= 0 && now - lastDrawn_ < kRedrawInterval) return;
  lastDrawn_ = now;
  std::fprintf(out_, "\r%s\033[K",
               FormatProgress(doneBytes, totalBytes_, messages, now - started_).c_str());
  std::fflush(out_);
  shown_ = true;
}

void ProgressBar::Clear() {
  if (!enabled_ || !shown_) return;
  std::fputs("\r\033[K", out_);
  std::fflush(out_);
  shown_ = false;
  lastDrawn_ = -1;
}

}  // namespace vorn_host
