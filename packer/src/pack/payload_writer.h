// Writes a stored payload (marker, frame of records, trailer) to a sink while
// the caller streams each entry's data; never holds a whole file.
#pragma once

#include <cstdint>
#include <string>

#include "pack/byte_sink.h"
#include "pack/zstd_encoder.h"

namespace tarven {

// A record's head: the name in UTF-16LE, a zero unit, the data's size
// (64-bit little-endian).
inline size_t record_head_size(const std::u16string& name) { return 2 * name.size() + 10; }
// Writes the head at `out`, record_head_size(name) bytes.
void put_record_head(const std::u16string& name, uint64_t size, unsigned char* out);

class PayloadWriter {
 public:
  // `stream_size`, the decoded stream's bytes (records and end record) when
  // known, chooses the frame's window (frame_window_log); unknown, 2^27.
  PayloadWriter(ByteSink& sink, int level, int threads = 1, uint64_t stream_size = UINT64_MAX);

  // `name` must already follow the name rules; exactly `size` bytes of data follow.
  void begin_entry(const std::u16string& name, uint64_t size);
  void write_data(const void* data, size_t n);
  // Or whole records made by the caller (put_record_head, then the data), in
  // pieces of any size, between entries.
  void write_records(const void* bytes, size_t n);
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
