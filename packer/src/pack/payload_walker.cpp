// The one payload decoder behind list, verify and extract; see payload_walker.h.
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader and the window size it reports
#include "pack/payload_walker.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <memory>
#include <vector>

#include "pack/names.h"
#include "pack/payload_format.h"
#include "host/utf.h"

namespace tarven {
namespace {

struct DCtxDeleter {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

// Turns the decoded stream into visitor calls, whatever the chunk boundaries.
class RecordParser {
 public:
  RecordParser(EntryVisitor& visitor, const std::string& label) : visitor_(visitor), label_(label) {}

  void feed(const unsigned char* p, size_t n) {
    total_ += n;
    while (n) {
      switch (state_) {
        case State::kName: {
          pending_[pending_len_++] = *p++;
          --n;
          if (pending_len_ < 2) break;
          pending_len_ = 0;
          const char16_t unit = static_cast<char16_t>(pending_[0] | (pending_[1] << 8));
          if (unit != 0) {
            if (name_.size() == kMaxNameUnits)
              fail("entry " + std::to_string(entries_ + 1) + " has a name longer than " +
                   std::to_string(kMaxNameUnits) + " units (no terminating zero)");
            name_.push_back(unit);
          } else if (name_.empty()) {
            state_ = State::kAfterEnd;
          } else {
            state_ = State::kSize;
          }
          break;
        }
        case State::kSize:
          pending_[pending_len_++] = *p++;
          --n;
          if (pending_len_ == 8) {
            pending_len_ = 0;
            data_left_ = get_le64(pending_);
            visitor_.begin_entry(entries_, name_, data_left_);
            state_ = State::kData;
            if (data_left_ == 0) end_entry();
          }
          break;
        case State::kData: {
          const size_t take = data_left_ < n ? static_cast<size_t>(data_left_) : n;
          visitor_.data(p, take);
          data_total_ += take;
          p += take;
          n -= take;
          data_left_ -= take;
          if (data_left_ == 0) end_entry();
          break;
        }
        case State::kAfterEnd:
          fail("the stream goes on after the end record (" + std::to_string(n) + " more bytes)");
      }
    }
  }

  // The decoded stream is over: it must have stopped right after the end record.
  void finish() const {
    switch (state_) {
      case State::kAfterEnd:
        return;
      case State::kName:
        if (name_.empty() && pending_len_ == 0)
          fail("the stream has no end record");
        fail("the stream ends inside the name of entry " + std::to_string(entries_ + 1));
      case State::kSize:
        fail("the stream ends inside the size of entry " + std::to_string(entries_ + 1));
      case State::kData:
        fail("the stream ends inside the data of entry " + std::to_string(entries_ + 1) + " (" +
             std::to_string(data_left_) + " bytes missing)");
    }
  }

  uint64_t entries() const { return entries_; }
  uint64_t total() const { return total_; }
  uint64_t data_total() const { return data_total_; }

  // The first entry that damage found now reaches: the one being decoded
  // (named once its record has been read), as the other commands name entries.
  std::string position() const {
    const std::string entry = "entry " + std::to_string(entries_ + 1);
    switch (state_) {
      case State::kAfterEnd:
        return "after the end record";
      case State::kName:
        return name_.empty() && pending_len_ == 0 ? "the record of " + entry : entry + " (in its name)";
      default:
        return entry + " '" + utf16_to_utf8(name_) + "'";
    }
  }

 private:
  enum class State { kName, kSize, kData, kAfterEnd };

  void end_entry() {
    visitor_.end_entry();
    ++entries_;
    name_.clear();
    state_ = State::kName;
  }

  [[noreturn]] void fail(const std::string& what) const { throw failure(label_ + ": " + what); }

  EntryVisitor& visitor_;
  const std::string& label_;
  State state_ = State::kName;
  unsigned char pending_[8] = {};
  size_t pending_len_ = 0;
  std::u16string name_;
  uint64_t data_left_ = 0;
  uint64_t entries_ = 0;
  uint64_t total_ = 0;
  uint64_t data_total_ = 0;
};

}  // namespace

PayloadFacts walk_payload(ByteSource& payload, EntryVisitor& visitor, const std::string& label) {
  auto fail = [&](const std::string& what) { return failure(label + ": " + what); };
  PayloadFacts facts;
  facts.stored_size = payload.size();
  if (facts.stored_size < kMarkerSize + kTrailerSize)
    throw fail("the payload is " + std::to_string(facts.stored_size) +
               " bytes, too small for a marker and a trailer");

  char marker[kMarkerSize];
  payload.read_at(0, marker, kMarkerSize);
  if (std::string(marker, kMarkerSize) != std::string(kPayloadMarker, kMarkerSize))
    throw fail("the payload does not start with the WEQ marker");

  unsigned char trailer[kTrailerSize];
  const uint64_t before_trailer = facts.stored_size - kTrailerSize;
  payload.read_at(before_trailer, trailer, kTrailerSize);
  if (get_le64(trailer) != before_trailer)
    throw fail("the trailer says " + std::to_string(get_le64(trailer)) + " but " +
               std::to_string(before_trailer) + " bytes precede it");
  facts.frame_size = before_trailer - kMarkerSize;

  unsigned char head[ZSTD_FRAMEHEADERSIZE_MAX] = {};
  const size_t head_len = static_cast<size_t>(
      facts.frame_size < sizeof head ? facts.frame_size : sizeof head);
  payload.read_at(kMarkerSize, head, head_len);
  ZSTD_frameHeader header{};
  const size_t header_rc = ZSTD_getFrameHeader(&header, head, head_len);
  if (ZSTD_isError(header_rc)) throw fail("no zstd frame after the marker");
  if (header_rc != 0) throw fail("the zstd frame header is truncated");
  if (header.frameType != ZSTD_frame) throw fail("the frame after the marker is a skippable frame");
  if (header.dictID != 0) throw fail("the zstd frame needs a dictionary, which the launcher lacks");
  facts.window_size = header.windowSize;
  facts.has_checksum = header.checksumFlag != 0;
  if (facts.window_size > (uint64_t{1} << kWindowLog))
    throw fail("the zstd window is " + std::to_string(facts.window_size) +
               " bytes, more than the launcher's 2^27");

  std::unique_ptr<ZSTD_DCtx, DCtxDeleter> dctx(ZSTD_createDCtx());
  if (!dctx) throw fail("zstd: out of memory");
  ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, kWindowLog);

  RecordParser parser(visitor, label);
  std::vector<unsigned char> in_buffer(ZSTD_DStreamInSize());
  std::vector<unsigned char> out_buffer(ZSTD_DStreamOutSize());
  uint64_t read_pos = 0;
  bool frame_done = false;
  // The content checksum (the frame's last 4 bytes) is handed over alone, after
  // everything else: the decoder tests it in the call that takes it, and a
  // mismatch must come after the records it covers, so that a damaged entry is
  // named by its digest rather than the whole frame by its checksum.
  const uint64_t before_checksum = facts.frame_size - (facts.has_checksum && facts.frame_size >= 4 ? 4 : 0);
  while (!frame_done && read_pos < facts.frame_size) {
    const uint64_t left = (read_pos < before_checksum ? before_checksum : facts.frame_size) - read_pos;
    const size_t chunk = left < in_buffer.size() ? static_cast<size_t>(left) : in_buffer.size();
    payload.read_at(kMarkerSize + read_pos, in_buffer.data(), chunk);
    read_pos += chunk;
    ZSTD_inBuffer in{in_buffer.data(), chunk, 0};
    while (true) {
      ZSTD_outBuffer out{out_buffer.data(), out_buffer.size(), 0};
      const size_t rc = ZSTD_decompressStream(dctx.get(), &out, &in);
      if (ZSTD_getErrorCode(rc) == ZSTD_error_checksum_wrong)
        throw fail("the zstd frame's content checksum does not match what it decodes to");
      if (ZSTD_isError(rc))
        throw fail("the compressed payload is damaged from " + parser.position() + " on (zstd: " +
                   ZSTD_getErrorName(rc) + ")");
      parser.feed(out_buffer.data(), out.pos);
      if (rc == 0) {
        frame_done = true;
        const uint64_t extra = (chunk - in.pos) + (facts.frame_size - read_pos);
        if (extra)
          throw fail(std::to_string(extra) +
                     " bytes follow the zstd frame before the trailer (only one frame is allowed)");
        break;
      }
      if (in.pos == in.size && out.pos < out.size) break;
    }
  }
  if (!frame_done) throw fail("the zstd frame is truncated");
  parser.finish();
  facts.unpacked_size = parser.total();
  facts.file_bytes = parser.data_total();
  facts.entries = parser.entries();
  return facts;
}

}  // namespace tarven
