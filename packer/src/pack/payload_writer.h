// Writes a stored payload (marker, frame of records, trailer) to a sink while
// the caller streams each entry's data; never holds a whole file.
#pragma once

#include <cstdint>
#include <string>

#include "pack/byte_sink.h"
#include "pack/zstd_encoder.h"

namespace tarven {

class PayloadWriter {
 public:
  PayloadWriter(ByteSink& sink, int level, int threads = 1);

  // `name` must already follow the name rules; exactly `size` bytes of data follow.
  void begin_entry(const std::u16string& name, uint64_t size);
  void write_data(const void* data, size_t n);
  // Writes the end record, closes the frame and appends the trailer.
  void finish();

  uint64_t unpacked_size() const { return encoder_.bytes_in(); }
  uint64_t stored_size() const { return stored_; }

 private:
  ByteSink& sink_;
  ZstdEncoder encoder_;
  uint64_t data_left_ = 0;
  uint64_t stored_ = 0;
};

}  // namespace tarven
