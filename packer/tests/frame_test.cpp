// The zstd frame and the payload bytes the launcher reads: the frame header is
// fixed for every stream size, and the records are laid out exactly.
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader and the window size it reports
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

// The payload's frame gets the smallest window that holds its decoded stream
// whole (the launcher's decoder allocates a history of that size), from
// zstd's 2^10 to the launcher's 2^27, at the bounds of each.
TEST(Frame, WindowIsTheSmallestThatHoldsTheStream) {
  const uint64_t mib128 = uint64_t{1} << 27;
  EXPECT_EQ(frame_window_log(0), 10);
  EXPECT_EQ(frame_window_log(1), 10);
  EXPECT_EQ(frame_window_log(1023), 10);
  EXPECT_EQ(frame_window_log(1024), 10);
  EXPECT_EQ(frame_window_log(1025), 11);
  EXPECT_EQ(frame_window_log((uint64_t{1} << 20) - 1), 20);
  EXPECT_EQ(frame_window_log(uint64_t{1} << 20), 20);
  EXPECT_EQ(frame_window_log((uint64_t{1} << 20) + 1), 21);
  EXPECT_EQ(frame_window_log(mib128 - 1), 27);
  EXPECT_EQ(frame_window_log(mib128), 27);
  EXPECT_EQ(frame_window_log(mib128 + 1), 27);
  EXPECT_EQ(frame_window_log(UINT64_MAX), 27);

  // Through the writer: no entry (the end record alone), one byte, and a
  // stream of exactly 2^12 bytes and one more (a name "a" of 2 bytes, its
  // zero unit and size, the data, the end record).
  struct Case {
    bool entry;
    size_t data;
    int log;
  };
  for (const Case& c : {Case{false, 0, 10}, Case{true, 1, 10}, Case{true, 4096 - 14, 12}, Case{true, 4097 - 14, 13}}) {
    SCOPED_TRACE("data " + std::to_string(c.data));
    const std::string data = tarven_test::sample_bytes(c.data, 3);
    const uint64_t stream_size = c.entry ? 2 + 2 + 8 + c.data + 2 : 2;
    StringSink sink;
    PayloadWriter writer(sink, 3, 1, stream_size);
    if (c.entry) {
      writer.begin_entry(u"a", c.data);
      writer.write_data(data.data(), data.size());
    }
    writer.finish();
    EXPECT_EQ(writer.unpacked_size(), stream_size);
    const std::string frame = sink.bytes.substr(3, sink.bytes.size() - 11);
    ASSERT_GE(frame.size(), 6u);
    ZSTD_frameHeader header{};
    ASSERT_EQ(ZSTD_getFrameHeader(&header, frame.data(), frame.size()), 0u);
    EXPECT_EQ(header.windowSize, uint64_t{1} << c.log);
    EXPECT_EQ(static_cast<unsigned char>(frame[5]), (c.log - 10) << 3);  // the window descriptor
    EXPECT_EQ(decode(frame).size(), stream_size);
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
