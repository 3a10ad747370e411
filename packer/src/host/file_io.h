// Files read and written with errors turned into one-line failures that name
// the file. Reads can be positioned, so large files are never loaded whole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "host/path_text.h"

namespace tarven {

class InputFile {
 public:
  explicit InputFile(const std::filesystem::path& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  uint64_t size() const { return size_; }
  const std::string& name() const { return name_; }
  // Exactly `n` bytes at `offset`; a file shorter than that is a failure.
  void read_at(uint64_t offset, void* buffer, size_t n);
  // Up to `n` bytes from the current position; 0 at the end.
  size_t read_some(void* buffer, size_t n);

 private:
  std::FILE* file_ = nullptr;
  std::string name_;
  uint64_t size_ = 0;
};

class OutputFile {
 public:
  explicit OutputFile(const std::filesystem::path& path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void write(const void* data, size_t n);
  void write(const std::string& text) { write(text.data(), text.size()); }
  // Moves where the next write goes; writing past the end fills the gap with zeros.
  void seek(uint64_t offset);
  // Flushes and reports a failed write (a full disk shows up here).
  void close();
  uint64_t written() const { return written_; }
  const std::string& name() const { return name_; }

 private:
  std::FILE* file_ = nullptr;
  std::string name_;
  uint64_t written_ = 0;
};

std::string read_text_file(const std::filesystem::path& path);
void write_text_file(const std::filesystem::path& path, const std::string& text);

}  // namespace tarven
