// The progress line of a long pack: shown on a terminal once a second has
// passed (the share, the bytes, the rate, the files) and removed at the end;
// never when stderr is not a terminal (build's tests see one line there).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "commands/progress.h"
#include "test_support.h"

namespace tarven {
namespace {

// What `run` writes to stderr.
template <typename F>
std::string stderr_of(F run) {
  tarven_test::ScratchDir d;
  std::fflush(stderr);
  const int saved = ::dup(2);
  std::FILE* capture = std::fopen((d / "err").c_str(), "w");
  ::dup2(::fileno(capture), 2);
  run();
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  std::fclose(capture);
  return tarven_test::read_file(d / "err");
}

TEST(Progress, ShowsBytesAndRateAfterASecondAndClearsItsLine) {
  const uint64_t mib = 1 << 20;
  const auto two_seconds_ago = Progress::Clock::now() - std::chrono::seconds(2);
  const std::string shown = stderr_of([&] {
    Progress progress(3 * mib, 2, true, two_seconds_ago);
    progress.file_done();
    progress.advance(mib + mib / 2);
    progress.finished();
  });
  const std::string head = "\rtarven-pack: packing  50.0%: 1.5 MiB of 3.0 MiB, ";
  ASSERT_EQ(shown.rfind(head, 0), 0u) << shown;
  const double rate = std::stod(shown.substr(head.size()));
  EXPECT_GT(rate, 0.3);  // 1.5 MiB in two seconds and whatever this machine took
  EXPECT_LT(rate, 0.76);
  EXPECT_NE(shown.find(" MiB/s, 1 of 2 files\033[K\r\033[K"), std::string::npos) << shown;

  // Within the first second, or when stderr is no terminal: nothing at all.
  EXPECT_EQ(stderr_of([&] {
              Progress progress(3 * mib, 2, true);
              progress.advance(mib);
              progress.finished();
            }),
            "");
  EXPECT_EQ(stderr_of([&] {
              Progress progress(3 * mib, 2, false, two_seconds_ago);
              progress.advance(mib);
              progress.finished();
            }),
            "");
}

}  // namespace
}  // namespace tarven
