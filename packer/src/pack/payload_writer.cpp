// Payload record encoding on top of the zstd frame; see payload_writer.h.
#include "pack/payload_writer.h"

#include "host/errors.h"
#include "pack/payload_format.h"

namespace tarven {
namespace {

constexpr uint64_t kMaxSpace = uint64_t{1} << 30;

// The marker must precede the first byte the encoder may emit while it is
// being constructed.
ByteSink& after_marker(ByteSink& sink) {
  sink.write(kPayloadMarker, kMarkerSize);
  return sink;
}

}  // namespace

PayloadWriter::PayloadWriter(ByteSink& sink, int level, int threads, uint64_t stream_size)
    : sink_(sink), encoder_(after_marker(sink), level, threads, frame_window_log(stream_size)) {}

void PayloadWriter::begin_entry(const std::u16string& name, uint64_t size) {
  if (data_left_ != 0) throw failure("payload: an entry was begun before the previous one ended");
  // The record's head (name, 0 unit, size) is built on the stack, in pieces
  // for a name longer than the launcher takes (the walker tests write such).
  unsigned char head[1024 + 10];
  size_t at = 0;
  for (char16_t u : name) {
    if (at == 1024) {
      encoder_.write(head, at);
      at = 0;
    }
    head[at++] = static_cast<unsigned char>(u & 0xFF);
    head[at++] = static_cast<unsigned char>(u >> 8);
  }
  head[at++] = 0;
  head[at++] = 0;
  put_le64(head + at, size);
  encoder_.write(head, at + 8);
  data_left_ = size;
}

void PayloadWriter::write_data(const void* data, size_t n) {
  if (n > data_left_) throw failure("payload: more data than the entry's size");
  encoder_.write(data, n);
  data_left_ -= n;
}

unsigned char* PayloadWriter::data_space(uint64_t wanted, size_t* room, size_t* writable) {
  if (wanted > data_left_) throw failure("payload: more data than the entry's size");
  return encoder_.space(wanted < kMaxSpace ? static_cast<size_t>(wanted) : kMaxSpace, room, writable);
}

void PayloadWriter::commit_data(size_t n) {
  if (n > data_left_) throw failure("payload: more data than the entry's size");
  encoder_.commit(n);
  data_left_ -= n;
}

void PayloadWriter::finish() {
  if (data_left_ != 0) throw failure("payload: the last entry is missing data");
  const unsigned char end_record[2] = {0, 0};
  encoder_.write(end_record, sizeof end_record);
  encoder_.finish();
  unsigned char trailer[kTrailerSize];
  const uint64_t before_trailer = kMarkerSize + encoder_.bytes_out();
  put_le64(trailer, before_trailer);
  sink_.write(trailer, sizeof trailer);
  stored_ = before_trailer + kTrailerSize;
}

}  // namespace tarven
