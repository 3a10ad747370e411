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
  // `stream_size`, the decoded stream's bytes (records and end record) when
  // known, chooses the frame's window (frame_window_log); unknown, 2^27.
  PayloadWriter(ByteSink& sink, int level, int threads = 1, uint64_t stream_size = UINT64_MAX);

  // `name` must already follow the name rules; exactly `size` bytes of data follow.
  void begin_entry(const std::u16string& name, uint64_t size);
  void write_data(const void* data, size_t n);
  // Or, to read the data straight into the encoder's input buffer: room for
  // up to `wanted` bytes of the entry's data (`*room`, at least one while
  // data is left), then commit what was written there. `*writable` >= `*room`
  // bytes may be written there; only committed bytes count.
  unsigned char* data_space(uint64_t wanted, size_t* room, size_t* writable);
  void commit_data(size_t n);
  // See ZstdEncoder::on_input: data written through data_space is readable
  // there until the hook returns.
  void on_input(std::function<void()> hook) { encoder_.on_input(std::move(hook)); }
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
