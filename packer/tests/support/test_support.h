// Helpers for the packer tests: scratch folders, files, running the
// tarven-pack executable, and the stand-in kit built by the tests' CMake.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace tarven_test {

namespace fs = std::filesystem;

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& rel) const { return path_ / rel; }

 private:
  fs::path path_;
};

// Creates the parent folders as needed.
void write_file(const fs::path& path, const std::string& bytes);
std::string read_file(const fs::path& path);
// `size` bytes that compress a little, the same for the same seed.
std::string sample_bytes(size_t size, unsigned seed);

struct RunResult {
  int code = -1;
  std::string out;
  std::string err;
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs the tarven-pack executable; `env` entries are set for it alone.
RunResult run_packer(const std::vector<std::string>& args, const Environment& env = {});
// The same with a copy of tarven-pack elsewhere.
RunResult run_packer_at(const fs::path& exe, const std::vector<std::string>& args,
                        const Environment& env = {});

// `build -o out ARGS...`.
RunResult build_exe(const fs::path& out, const std::vector<std::string>& args);

// Whether the mingw-w64 compiler built the test DLLs.
bool have_mingw();
// A DLL built by the tests' CMake: app.dll, no_run_code.dll, program.exe.
fs::path test_dll(const std::string& name);

size_t line_count(const std::string& text);

}  // namespace tarven_test

// The tests that link executables need the cross toolchain.
#define TARVEN_REQUIRE_MINGW()                                                        \
  do {                                                                                \
    if (!::tarven_test::have_mingw())                                                 \
      GTEST_SKIP() << "x86_64-w64-mingw32 toolchain not found when configuring";     \
  } while (0)
