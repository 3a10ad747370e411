// One zstd frame with the exact header the launcher expects: the window
// asked for (2^27 at most, descriptor 0x88), a content checksum, no content
// size, no dictionary id, whatever the amount of data (including none). Data is streamed, compressed
// by `threads` workers; the frame's bytes are the same for any number of them.
//
// Input is gathered in a buffer and handed to zstd in large pieces (records
// of small files cost one call per buffer, not two per file); callers that
// read files can fill that buffer directly (space/commit), which saves a copy.
// Output goes to the sink in large pieces too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "pack/byte_sink.h"

struct ZSTD_CCtx_s;

namespace tarven {

class ZstdEncoder {
 public:
  // The frame's window is 2^`window_log` bytes, whatever the data's size.
  ZstdEncoder(ByteSink& sink, int level, int threads = 1, int window_log = 27);
  ~ZstdEncoder();
  ZstdEncoder(const ZstdEncoder&) = delete;
  ZstdEncoder& operator=(const ZstdEncoder&) = delete;

  void write(const void* data, size_t n);
  // Room at the end of the input buffer for up to `wanted` bytes (`*room`,
  // at least one when `wanted` is not 0): the caller writes there, then
  // commits what it wrote. Nothing else may be written between the two
  // calls. `*writable` >= `*room` bytes may be written there (what is not
  // committed is dropped).
  unsigned char* space(size_t wanted, size_t* room, size_t* writable);
  void commit(size_t n);
  // Called just before zstd takes the input buffer's bytes, after which the
  // buffer is reused: what was written through space/commit can still be
  // read where it was written, until the hook returns.
  void on_input(std::function<void()> hook) { hook_ = std::move(hook); }
  // Ends the frame; nothing may be written after.
  void finish();
  uint64_t bytes_in() const { return bytes_in_; }
  uint64_t bytes_out() const { return bytes_out_; }

 private:
  void feed(const unsigned char* data, size_t n, int directive);
  void flush_input();
  void flush_output();

  ByteSink& sink_;
  ZSTD_CCtx_s* cctx_;
  std::function<void()> hook_;
  std::unique_ptr<unsigned char[]> in_buffer_;
  size_t in_fill_ = 0;
  std::unique_ptr<unsigned char[]> out_buffer_;
  size_t out_fill_ = 0;
  uint64_t bytes_in_ = 0;
  uint64_t bytes_out_ = 0;
  bool finished_ = false;
};

}  // namespace tarven
