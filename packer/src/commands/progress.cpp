// Progress line and summary; see progress.h.
#include "commands/progress.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace tarven {

Progress::Progress(uint64_t total_bytes, uint64_t total_files, bool enabled)
    : total_bytes_(total_bytes), total_files_(total_files), enabled_(enabled),
      start_(Clock::now()), last_(start_) {}

void Progress::advance(uint64_t bytes) {
  done_bytes_ += bytes;
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200)) return;
  last_ = now;
  const double percent = total_bytes_ ? 100.0 * static_cast<double>(done_bytes_) / static_cast<double>(total_bytes_) : 100.0;
  std::fprintf(stderr, "\rtarven-pack: packing %5.1f%% (%llu of %llu files)\033[K", percent,
               static_cast<unsigned long long>(files_done_), static_cast<unsigned long long>(total_files_));
  std::fflush(stderr);
  shown_ = true;
}

void Progress::clear() {
  if (!shown_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  shown_ = false;
}

double Progress::seconds() const {
  return std::chrono::duration<double>(Clock::now() - start_).count();
}

std::string pack_summary(uint64_t files, uint64_t bytes_in, uint64_t bytes_out, double seconds) {
  char buf[160];
  const double ratio = bytes_in ? 100.0 * static_cast<double>(bytes_out) / static_cast<double>(bytes_in) : 0.0;
  std::snprintf(buf, sizeof buf, "%llu file%s, %llu bytes in, %llu bytes out (%.1f%%), %.1f s",
                static_cast<unsigned long long>(files), files == 1 ? "" : "s",
                static_cast<unsigned long long>(bytes_in), static_cast<unsigned long long>(bytes_out),
                ratio, seconds);
  return buf;
}

bool stderr_is_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return ::isatty(2) != 0;
#endif
}

}  // namespace tarven
