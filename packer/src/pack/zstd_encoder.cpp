// Streaming zstd frame writer with fixed frame parameters; see zstd_encoder.h.
#include "pack/zstd_encoder.h"

#include <zstd.h>

#include <cstring>

#include "host/errors.h"
#include "pack/payload_format.h"

namespace tarven {
namespace {

// Input handed to zstd per call, and output written to the sink per call.
// Sizes only: the frame's bytes do not depend on them (zstd cuts its jobs
// at fixed positions of the stream, whatever pieces the stream comes in).
constexpr size_t kInputBuffer = size_t{1} << 20;
constexpr size_t kOutputBuffer = size_t{1} << 20;

void check(size_t rc, const char* what) {
  if (ZSTD_isError(rc)) throw failure(std::string("zstd: ") + what + ": " + ZSTD_getErrorName(rc));
}

}  // namespace

ZstdEncoder::ZstdEncoder(ByteSink& sink, int level, int threads, int window_log)
    : sink_(sink),
      cctx_(ZSTD_createCCtx()),
      in_buffer_(new unsigned char[kInputBuffer]),
      out_buffer_(new unsigned char[kOutputBuffer]) {
  if (!cctx_) throw failure("zstd: out of memory");
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_compressionLevel, level), "level");
  if (window_log < kMinWindowLog || window_log > kWindowLog) throw failure("zstd: a window the launcher cannot take");
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_windowLog, window_log), "window");
  // The content checksum (XXH64 of the decoded stream, its low 4 bytes at the
  // frame's end): the launcher decodes to the frame's end and refuses a
  // payload damaged on its way to the user before anything of it runs.
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_checksumFlag, 1), "checksum flag");
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_contentSizeFlag, 0), "content size flag");
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_dictIDFlag, 0), "dictionary id flag");
  // Long-distance matching at every level, as `zstd --long=27` does: repeats
  // anywhere in the window are found (zstd turns it on by itself only from
  // level 16 with a 2^27 window), and zstd's multi-threaded mode then cuts
  // the stream into jobs of a few MiB that the workers compress side by side.
  // Without it, a 2^27 window makes jobs of 512 MiB: one job, one busy worker.
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_enableLongDistanceMatching, 1), "long distance matching");
  // Always at least one worker: zstd's multi-threaded mode gives the same
  // bytes for any number of workers, but not the same as its single-threaded
  // mode, and a build must not depend on the machine's number of cores.
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_nbWorkers, threads < 1 ? 1 : threads), "workers");
  // An empty first call starts the frame before zstd sees any data: given all
  // the data at once (small inputs), it would know the size and shrink the
  // window below the one asked for, changing the window descriptor.
  feed(nullptr, 0, ZSTD_e_continue);
}

ZstdEncoder::~ZstdEncoder() { ZSTD_freeCCtx(cctx_); }

void ZstdEncoder::write(const void* data, size_t n) {
  if (finished_) throw failure("zstd: write after the end of the frame");
  const unsigned char* p = static_cast<const unsigned char*>(data);
  bytes_in_ += n;
  if (in_fill_ == 0 && n >= kInputBuffer) {  // large pieces need no gathering
    feed(p, n, ZSTD_e_continue);
    return;
  }
  while (n) {
    const size_t take = n < kInputBuffer - in_fill_ ? n : kInputBuffer - in_fill_;
    std::memcpy(in_buffer_.get() + in_fill_, p, take);
    in_fill_ += take;
    p += take;
    n -= take;
    if (in_fill_ == kInputBuffer) flush_input();
  }
}

void ZstdEncoder::finish() {
  if (finished_) return;
  flush_input();
  feed(nullptr, 0, ZSTD_e_end);
  flush_output();
  finished_ = true;
}

void ZstdEncoder::flush_input() {
  if (in_fill_ == 0) return;
  feed(in_buffer_.get(), in_fill_, ZSTD_e_continue);
  in_fill_ = 0;
}

void ZstdEncoder::flush_output() {
  if (out_fill_ == 0) return;
  sink_.write(out_buffer_.get(), out_fill_);
  bytes_out_ += out_fill_;
  out_fill_ = 0;
}

void ZstdEncoder::feed(const unsigned char* data, size_t n, int directive) {
  ZSTD_inBuffer in{data, n, 0};
  while (true) {
    ZSTD_outBuffer out{out_buffer_.get(), kOutputBuffer, out_fill_};
    const size_t remaining =
        ZSTD_compressStream2(cctx_, &out, &in, static_cast<ZSTD_EndDirective>(directive));
    check(remaining, "compress");
    out_fill_ = out.pos;
    if (out_fill_ == kOutputBuffer) flush_output();
    const bool done = directive == ZSTD_e_end ? remaining == 0 : in.pos == in.size;
    if (done) return;
  }
}

}  // namespace tarven
