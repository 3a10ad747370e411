// A private scratch folder for one build, removed at the end unless kept.
#pragma once

#include <filesystem>

namespace tarven {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  void keep() { keep_ = true; }

 private:
  std::filesystem::path path_;
  bool keep_ = false;
};

// A name in `dir` that nothing uses yet, starting with `stem` (UTF-8).
std::filesystem::path unused_name(const std::filesystem::path& dir, const std::string& stem);

}  // namespace tarven
