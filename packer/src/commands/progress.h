// Feedback while packing: a progress line on a terminal for long packs, and
// the closing summary line.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "pack/pack_payload.h"

namespace tarven {

class Progress : public PackProgress {
 public:
  using Clock = std::chrono::steady_clock;
  // Shows nothing unless `enabled` (stderr is a terminal) and the pack has
  // taken more than a second since `start`: short packs stay quiet.
  Progress(uint64_t total_bytes, uint64_t total_files, bool enabled, Clock::time_point start = Clock::now());
  void file_done() override { ++files_done_; }
  // Redraws the line at most five times a second: the share done, the bytes
  // read of all, the rate, the files.
  void advance(uint64_t bytes) override;
  // Removes the progress line, if one was shown.
  void finished() override;

 private:
  uint64_t total_bytes_;
  uint64_t total_files_;
  uint64_t done_bytes_ = 0;
  uint64_t files_done_ = 0;
  bool enabled_;
  bool shown_ = false;
  Clock::time_point start_;
  Clock::time_point last_;
};

// "12 files, 104857600 bytes in, 30233088 bytes out (28.8%), 3.1 s"
std::string pack_summary(uint64_t files, uint64_t bytes_in, uint64_t bytes_out, double seconds);

// Whether standard error is a terminal, where a progress line can redraw itself.
bool stderr_is_terminal();

}  // namespace tarven
