// Progress line and summary; see progress.h.
#include "commands/progress.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace tarven {

Progress::Progress(uint64_t total_bytes, uint64_t total_files, bool enabled, Clock::time_point start)
    : total_bytes_(total_bytes), total_files_(total_files), enabled_(enabled), start_(start), last_(start_) {}

namespace {

// "512.0 MiB", "1.25 GiB".
std::string size_text(double bytes) {
  char buf[32];
  if (bytes >= 1024.0 * 1024 * 1024)
    std::snprintf(buf, sizeof buf, "%.2f GiB", bytes / (1024.0 * 1024 * 1024));
  else
    std::snprintf(buf, sizeof buf, "%.1f MiB", bytes / (1024.0 * 1024));
  return buf;
}

}  // namespace

void Progress::advance(uint64_t bytes) {
  done_bytes_ += bytes;
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200)) return;
  last_ = now;
  const double done = static_cast<double>(done_bytes_);
  const double percent = total_bytes_ ? 100.0 * done / static_cast<double>(total_bytes_) : 100.0;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  std::fprintf(stderr, "\rtarven-pack: packing %5.1f%%: %s of %s, %s/s, %llu of %llu files\033[K", percent,
               size_text(done).c_str(), size_text(static_cast<double>(total_bytes_)).c_str(),
               size_text(done / seconds).c_str(), static_cast<unsigned long long>(files_done_),
               static_cast<unsigned long long>(total_files_));
  std::fflush(stderr);
  shown_ = true;
}

void Progress::finished() {
  if (!shown_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  shown_ = false;
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
