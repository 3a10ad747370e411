// Where encoded bytes go: a file while building, memory in tests.
#pragma once

#include <cstddef>
#include <string>

#include "host/file_io.h"

namespace tarven {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void write(const void* data, size_t n) = 0;
};

class FileSink : public ByteSink {
 public:
  explicit FileSink(OutputFile& file) : file_(file) {}
  void write(const void* data, size_t n) override { file_.write(data, n); }

 private:
  OutputFile& file_;
};

class StringSink : public ByteSink {
 public:
  void write(const void* data, size_t n) override {
    bytes.append(static_cast<const char*>(data), n);
  }
  std::string bytes;
};

}  // namespace tarven
