// Random-access bytes to decode: a stored payload inside an executable, or a
// string in tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "host/errors.h"
#include "host/file_io.h"

namespace tarven {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // Callers stay inside [0, size()).
  virtual void read_at(uint64_t offset, void* buffer, size_t n) = 0;
};

class FileRange : public ByteSource {
 public:
  FileRange(InputFile& file, uint64_t offset, uint64_t size)
      : file_(file), offset_(offset), size_(size) {}
  uint64_t size() const override { return size_; }
  void read_at(uint64_t offset, void* buffer, size_t n) override {
    file_.read_at(offset_ + offset, buffer, n);
  }

 private:
  InputFile& file_;
  uint64_t offset_;
  uint64_t size_;
};

class StringSource : public ByteSource {
 public:
  explicit StringSource(std::string bytes) : bytes_(std::move(bytes)) {}
  uint64_t size() const override { return bytes_.size(); }
  void read_at(uint64_t offset, void* buffer, size_t n) override {
    if (offset > bytes_.size() || n > bytes_.size() - offset) throw failure("read past the end");
    std::memcpy(buffer, bytes_.data() + offset, n);
  }

 private:
  std::string bytes_;
};

}  // namespace tarven
