// The zstd frame and the payload bytes the launcher reads: the frame header is
// fixed for every stream size, and the records are laid out exactly.
#include <gtest/gtest.h>
#include <zstd.h>

#include "host/errors.h"
#include "pack/payload_format.h"
#include "pack/payload_writer.h"
#include "test_support.h"
#include "pack/zstd_encoder.h"

namespace tarven {
namespace {

std::string encode(const std::string& data, int level, size_t chunk) {
  StringSink sink;
  ZstdEncoder encoder(sink, level);
  for (size_t at = 0; at < data.size(); at += chunk)
    encoder.write(data.data() + at, std::min(chunk, data.size() - at));
  encoder.finish();
  EXPECT_EQ(encoder.bytes_out(), sink.bytes.size());
  return sink.bytes;
}

std::string decode(const std::string& frame) {
  std::string out;
  ZSTD_DCtx* d = ZSTD_createDCtx();
  ZSTD_inBuffer in{frame.data(), frame.size(), 0};
  std::string buffer(1 << 16, '\0');
  size_t rc = 1;
  while (rc != 0) {
    ZSTD_outBuffer o{buffer.data(), buffer.size(), 0};
    rc = ZSTD_decompressStream(d, &o, &in);
    if (ZSTD_isError(rc)) break;
    out.append(buffer.data(), o.pos);
    if (rc != 0 && in.pos == in.size && o.pos == 0) break;
  }
  ZSTD_freeDCtx(d);
  EXPECT_EQ(rc, 0u) << "the frame did not decode to its end";
  EXPECT_EQ(in.pos, frame.size()) << "bytes after the frame";
  return out;
}

// Magic 28 B5 2F FD, descriptor 04 (no content size, not single-segment, a
// content checksum, no dictionary id), window descriptor 88 (2^27), for every
// size: small sizes are where zstd would otherwise shrink the window.
TEST(Frame, HeaderIsFixedForEveryStreamSize) {
  const size_t sizes[] = {0, 1, 20, 5u << 20};
  for (size_t size : sizes) {
    SCOPED_TRACE("stream size " + std::to_string(size));
    const std::string data = tarven_test::sample_bytes(size, 7);
    for (int level : {1, kDefaultLevel}) {
      if (size > 1000 && level > 3) continue;  // the big case at a fast level keeps the run short
      const std::string frame = encode(data, level, size > 100 ? 100000 : 1);
      ASSERT_GE(frame.size(), 6u);
      EXPECT_EQ(frame.substr(0, 6), std::string("\x28\xB5\x2F\xFD\x04\x88", 6));
      EXPECT_EQ(decode(frame), data);
    }
  }
}

// The example of the format: one file a\b holding 41 42.
TEST(Payload, RecordsAndTrailerAreLaidOutExactly) {
  StringSink sink;
  PayloadWriter writer(sink, 3);
  writer.begin_entry(u"a\\b", 2);
  writer.write_data("A", 1);
  writer.write_data("B", 1);
  writer.finish();
  const std::string& stored = sink.bytes;
  ASSERT_GT(stored.size(), 11u);
  EXPECT_EQ(stored.substr(0, 3), "WEQ");
  EXPECT_EQ(writer.stored_size(), stored.size());
  const uint64_t trailer = get_le64(reinterpret_cast<const unsigned char*>(stored.data()) + stored.size() - 8);
  EXPECT_EQ(trailer, stored.size() - 8);
  const std::string stream = decode(stored.substr(3, stored.size() - 11));
  const std::string expected("a\0\\\0b\0\0\0\x02\0\0\0\0\0\0\0AB\0\0", 20);
  EXPECT_EQ(stream, expected);
  EXPECT_EQ(writer.unpacked_size(), 20u);
}

TEST(Payload, WriterRefusesDataThatDoesNotMatchTheDeclaredSize) {
  StringSink sink;
  PayloadWriter writer(sink, 1);
  writer.begin_entry(u"x", 1);
  EXPECT_THROW(writer.write_data("ab", 2), Failure);
  StringSink sink2;
  PayloadWriter short_writer(sink2, 1);
  short_writer.begin_entry(u"x", 3);
  short_writer.write_data("a", 1);
  EXPECT_THROW(short_writer.finish(), Failure);
}

}  // namespace
}  // namespace tarven
