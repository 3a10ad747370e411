// Streaming zstd frame writer with fixed frame parameters; see zstd_encoder.h.
#include "pack/zstd_encoder.h"

#include <zstd.h>

#include "host/errors.h"
#include "pack/payload_format.h"

namespace tarven {
namespace {

void check(size_t rc, const char* what) {
  if (ZSTD_isError(rc)) throw failure(std::string("zstd: ") + what + ": " + ZSTD_getErrorName(rc));
}

}  // namespace

ZstdEncoder::ZstdEncoder(ByteSink& sink, int level, int threads)
    : sink_(sink), cctx_(ZSTD_createCCtx()), out_buffer_(ZSTD_CStreamOutSize()) {
  if (!cctx_) throw failure("zstd: out of memory");
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_compressionLevel, level), "level");
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_windowLog, kWindowLog), "window");
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_checksumFlag, 0), "checksum flag");
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_contentSizeFlag, 0), "content size flag");
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_dictIDFlag, 0), "dictionary id flag");
  // Always at least one worker: zstd's multi-threaded mode gives the same
  // bytes for any number of workers, but not the same as its single-threaded
  // mode, and a build must not depend on the machine's number of cores.
  check(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_nbWorkers, threads < 1 ? 1 : threads), "workers");
  // An empty first call starts the frame before zstd sees any data: given all
  // the data at once (small inputs), it would know the size and shrink the
  // window below 2^27, changing the window descriptor.
  pump(nullptr, 0, ZSTD_e_continue);
}

ZstdEncoder::~ZstdEncoder() { ZSTD_freeCCtx(cctx_); }

void ZstdEncoder::write(const void* data, size_t n) {
  if (finished_) throw failure("zstd: write after the end of the frame");
  bytes_in_ += n;
  pump(data, n, ZSTD_e_continue);
}

void ZstdEncoder::finish() {
  if (finished_) return;
  pump(nullptr, 0, ZSTD_e_end);
  finished_ = true;
}

void ZstdEncoder::pump(const void* data, size_t n, int directive) {
  ZSTD_inBuffer in{data, n, 0};
  while (true) {
    ZSTD_outBuffer out{out_buffer_.data(), out_buffer_.size(), 0};
    const size_t remaining =
        ZSTD_compressStream2(cctx_, &out, &in, static_cast<ZSTD_EndDirective>(directive));
    check(remaining, "compress");
    if (out.pos) {
      sink_.write(out_buffer_.data(), out.pos);
      bytes_out_ += out.pos;
    }
    const bool done = directive == ZSTD_e_end ? remaining == 0 : in.pos == in.size;
    if (done) return;
  }
}

}  // namespace tarven
