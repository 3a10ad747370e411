// Payload record encoding on top of the zstd frame; see payload_writer.h.
#include "pack/payload_writer.h"

#include <vector>

#include "host/errors.h"
#include "pack/payload_format.h"

namespace tarven {
namespace {

// The marker must precede the first byte the encoder may emit while it is
// being constructed.
ByteSink& after_marker(ByteSink& sink) {
  sink.write(kPayloadMarker, kMarkerSize);
  return sink;
}

}  // namespace

PayloadWriter::PayloadWriter(ByteSink& sink, int level, int threads, uint64_t stream_size)
    : sink_(sink), encoder_(after_marker(sink), level, threads, frame_window_log(stream_size)) {}

void put_record_head(const std::u16string& name, uint64_t size, unsigned char* out) {
  for (char16_t u : name) {
    *out++ = static_cast<unsigned char>(u & 0xFF);
    *out++ = static_cast<unsigned char>(u >> 8);
  }
  out[0] = 0;
  out[1] = 0;
  put_le64(out + 2, size);
}

void PayloadWriter::begin_entry(const std::u16string& name, uint64_t size) {
  if (data_left_ != 0) throw failure("payload: an entry was begun before the previous one ended");
  std::vector<unsigned char> head(record_head_size(name));
  put_record_head(name, size, head.data());
  encoder_.write(head.data(), head.size());
  data_left_ = size;
}

void PayloadWriter::write_data(const void* data, size_t n) {
  if (n > data_left_) throw failure("payload: more data than the entry's size");
  encoder_.write(data, n);
  data_left_ -= n;
}

void PayloadWriter::write_records(const void* bytes, size_t n) {
  if (data_left_ != 0) throw failure("payload: records were written inside an entry");
  encoder_.write(bytes, n);
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
