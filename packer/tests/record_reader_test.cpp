// The records read ahead on several threads are the stream one file after
// the other would give, byte for byte, with the same digests, wherever chunk
// boundaries fall; and a file that changed is named in stream order.
#include <gtest/gtest.h>

#include "host/errors.h"
#include "pack/byte_sink.h"
#include "pack/entry_digest.h"
#include "pack/inputs.h"
#include "pack/pack_payload.h"
#include "pack/payload_writer.h"
#include "pack/record_reader.h"
#include "test_support.h"

namespace tarven {
namespace {

using tarven_test::read_file;
using tarven_test::sample_bytes;
using tarven_test::ScratchDir;
using tarven_test::write_file;

const unsigned char* bytes_of(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// Empty files, one-byte files, a name long enough for its head to span small
// chunks, files around chunk sizes and one of many chunks.
std::vector<PackEntry> sample_tree(const ScratchDir& d) {
  write_file(d / "app.dll", "MZ");
  write_file(d / "t/empty", "");
  write_file(d / "t/one", "1");
  write_file(d / ("t/" + std::string(200, 'n')), sample_bytes(300, 1));
  for (size_t size : {15u, 16u, 17u, 99u, 100u, 4095u, 4096u, 4097u})
    write_file(d / ("t/s/" + std::to_string(size)), sample_bytes(size, static_cast<unsigned>(size)));
  write_file(d / "t/z/big", sample_bytes(300000, 2));
  write_file(d / "t/z/zero", "");
  return collect_inputs(d / "app.dll", {d / "t"});
}

TEST(RecordReader, GivesTheStreamAndDigestsOneFileAfterAnotherGives) {
  ScratchDir d;
  const std::vector<PackEntry> entries = sample_tree(d);
  std::string expected;
  std::vector<uint64_t> expected_digests;
  uint64_t data_bytes = 0;
  StringSink sequential;
  PayloadWriter writer(sequential, 3, 1, [&] {
    uint64_t size = 2;
    for (const PackEntry& e : entries) size += record_head_size(e.name) + e.size;
    return size;
  }());
  for (const PackEntry& e : entries) {
    const std::string data = read_file(e.source);
    std::string head(record_head_size(e.name), '\0');
    put_record_head(e.name, data.size(), reinterpret_cast<unsigned char*>(head.data()));
    expected += head + data;
    EntryDigest digest(e.name);
    digest.add(bytes_of(data), data.size());
    expected_digests.push_back(digest.value());
    data_bytes += data.size();
    writer.begin_entry(e.name, data.size());
    writer.write_data(data.data(), data.size());
  }
  writer.finish();

  for (size_t chunk : {size_t{16}, size_t{100}, size_t{4096}, size_t{1} << 20}) {
    for (int readers : {0, 1, 3}) {
      SCOPED_TRACE("chunk " + std::to_string(chunk) + ", readers " + std::to_string(readers));
      RecordReader records(entries, readers, chunk);
      EXPECT_EQ(records.records_size(), expected.size());
      std::string stream;
      uint64_t data_seen = 0;
      size_t ended = 0;
      for (RecordReader::Chunk c = records.next(); c.size != 0; c = records.next()) {
        EXPECT_LE(c.size, chunk);
        stream.append(reinterpret_cast<const char*>(c.bytes), c.size);
        data_seen += c.data_bytes;
        ended += c.entries_ended;
      }
      EXPECT_TRUE(stream == expected) << "the streams differ";
      EXPECT_EQ(records.digests(), expected_digests);
      EXPECT_EQ(data_seen, data_bytes);
      EXPECT_EQ(ended, entries.size());
    }
  }
  // The stored payload is what a writer given one file after the other
  // makes, whatever the number of compression threads (and so of readers).
  for (int threads : {1, 3}) {
    StringSink sink;
    const PackTotals totals = pack_payload(entries, sink, 3, nullptr, threads);
    EXPECT_TRUE(sink.bytes == sequential.bytes) << "threads " << threads << ": the payloads differ";
    EXPECT_EQ(totals.digests, expected_digests);
  }
}

TEST(RecordReader, NamesTheFirstFileThatChangedInStreamOrder) {
  ScratchDir d;
  const std::vector<PackEntry> entries = sample_tree(d);
  // Both shrink, in chunks that the readers read side by side, in any order.
  write_file(d / "t/s/4095", "short");
  write_file(d / "t/z/big", "short");
  for (int readers : {0, 3}) {
    SCOPED_TRACE("readers " + std::to_string(readers));
    RecordReader records(entries, readers, 4096);
    try {
      while (records.next().size != 0) {
      }
      ADD_FAILURE() << "read files that changed";
    } catch (const Failure& f) {
      EXPECT_NE(std::string(f.what()).find("4095: changed size while packing (4095 -> 5 bytes)"), std::string::npos)
          << f.what();
    }
  }
}

}  // namespace
}  // namespace tarven
