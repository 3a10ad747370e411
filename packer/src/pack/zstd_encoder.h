// One zstd frame with the exact header the launcher expects: window
// descriptor 0x88 (2^27), no checksum, no content size, no dictionary id,
// whatever the amount of data (including none). Data is streamed, compressed
// by `threads` workers; the frame's bytes are the same for any number of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pack/byte_sink.h"

struct ZSTD_CCtx_s;

namespace tarven {

class ZstdEncoder {
 public:
  ZstdEncoder(ByteSink& sink, int level, int threads = 1);
  ~ZstdEncoder();
  ZstdEncoder(const ZstdEncoder&) = delete;
  ZstdEncoder& operator=(const ZstdEncoder&) = delete;

  void write(const void* data, size_t n);
  // Ends the frame; nothing may be written after.
  void finish();
  uint64_t bytes_in() const { return bytes_in_; }
  uint64_t bytes_out() const { return bytes_out_; }

 private:
  void pump(const void* data, size_t n, int directive);

  ByteSink& sink_;
  ZSTD_CCtx_s* cctx_;
  std::vector<unsigned char> out_buffer_;
  uint64_t bytes_in_ = 0;
  uint64_t bytes_out_ = 0;
  bool finished_ = false;
};

}  // namespace tarven
