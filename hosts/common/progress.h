// The progress bar vornimport and vornexport draw on a terminal while they work.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vorn_host {

// One line of progress: a bar and the percentage of the work done (the
// sources' bytes read, for an import; messages written, for an export), the
// count of messages, their rate and the time left, e.g.
// "[=========>          ]  45%  4521 messages  8130/s  ETA 0:07".
// The time left is estimated from the work done so far; "--:--" before
// there is enough to go on.
std::string FormatProgress(uint64_t doneBytes, uint64_t totalBytes, uint64_t messages,
                           double seconds);

// Draws FormatProgress on `out` (a terminal), redrawing in place at most ten
// times a second. Does nothing when not enabled.
class ProgressBar {
 public:
  ProgressBar(FILE* out, bool enabled);
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void Start(uint64_t totalBytes);
  void Update(uint64_t doneBytes, uint64_t messages);
  // Erases the bar so that another line can be written; it comes back at
  // the next update.
  void Clear();

 private:
  FILE* out_;
  bool enabled_;
  bool shown_ = false;
  uint64_t totalBytes_ = 0;
  double started_ = 0;
  double lastDrawn_ = -1;
};

// Seconds on a steady clock.
double SteadySeconds();

}  // namespace vorn_host
