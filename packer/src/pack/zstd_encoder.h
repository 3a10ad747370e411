// One zstd frame with the exact header the launcher expects: the window
// asked for (2^27 at most, descriptor 0x88), a content checksum, no content
// size, no dictionary id, whatever the amount of data (including none). Data is streamed, compressed
// by `threads` workers; the frame's bytes are the same for any number of them.
//
// Input is gathered in a buffer and handed to zstd in large pieces (records
// of small files cost one call per buffer, not two per file). Output goes to
// the sink in large pieces too.
#pragma once

#include <cstddef>
#include <cstdint>
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

  // Pieces of 1 MiB or more, with nothing gathered before them, go to zstd
  // as they are.
  void write(const void* data, size_t n);
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
  std::unique_ptr<unsigned char[]> in_buffer_;
  size_t in_fill_ = 0;
  std::unique_ptr<unsigned char[]> out_buffer_;
  size_t out_fill_ = 0;
  uint64_t bytes_in_ = 0;
  uint64_t bytes_out_ = 0;
  bool finished_ = false;
};

}  // namespace tarven
