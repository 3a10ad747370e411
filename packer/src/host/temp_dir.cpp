// Scratch folders and unused names; see temp_dir.h.
#include "host/temp_dir.h"

#include <random>
#include <string>

#include "host/errors.h"
#include "host/file_io.h"

namespace fs = std::filesystem;

namespace tarven {
namespace {

std::string random_suffix() {
  static std::mt19937_64 rng{std::random_device{}()};
  static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string s;
  for (int i = 0; i < 10; ++i) s.push_back(digits[rng() % 36]);
  return s;
}

}  // namespace

fs::path unused_name(const fs::path& dir, const std::string& stem) {
  for (int tries = 0; tries < 100; ++tries) {
    fs::path candidate = dir / utf8_path(stem + random_suffix());
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
  }
  throw failure(display_path(dir) + ": cannot find an unused temporary name");
}

TempDir::TempDir() {
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  if (ec) throw failure("cannot find the temporary folder: " + ec.message());
  for (int tries = 0; tries < 100; ++tries) {
    fs::path candidate = unused_name(base, "tarven-pack-");
    // create_directory reports false when the name was taken meanwhile.
    if (fs::create_directory(candidate, ec)) {
      fs::permissions(candidate, fs::perms::owner_all, ec);
      path_ = candidate;
      return;
    }
  }
  throw failure(display_path(base) + ": cannot create a temporary folder");
}

TempDir::~TempDir() {
  if (keep_ || path_.empty()) return;
  std::error_code ec;
  fs::remove_all(path_, ec);
}

}  // namespace tarven
