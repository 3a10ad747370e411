// The payload walker behind list/verify/extract: it must walk every valid
// payload whatever the chunking, and stop with one clear line on each kind of
// damage the launcher would trip over.
#include <gtest/gtest.h>
#include <zstd.h>

#include "pack/byte_source.h"
#include "pack/payload_format.h"
#include "pack/payload_walker.h"
#include "pack/payload_writer.h"
#include "test_support.h"
#include "pack/zstd_encoder.h"

namespace tarven {
namespace {

struct Recorder : EntryVisitor {
  void begin_entry(uint64_t index, const std::u16string& name, uint64_t size) override {
    EXPECT_EQ(index, names.size());
    names.push_back(name);
    sizes.push_back(size);
    contents.emplace_back();
  }
  void data(const unsigned char* bytes, size_t n) override {
    contents.back().append(reinterpret_cast<const char*>(bytes), n);
  }
  void end_entry() override { ++ended; }
  std::vector<std::u16string> names;
  std::vector<uint64_t> sizes;
  std::vector<std::string> contents;
  size_t ended = 0;
};

std::string frame_of(const std::string& stream, int window_log = kWindowLog) {
  ZSTD_CCtx* c = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window_log);
  ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
  std::string out(ZSTD_compressBound(stream.size()) + 64, '\0');
  ZSTD_outBuffer o{out.data(), out.size(), 0};
  ZSTD_inBuffer empty{nullptr, 0, 0};
  ZSTD_compressStream2(c, &o, &empty, ZSTD_e_continue);
  ZSTD_inBuffer in{stream.data(), stream.size(), 0};
  EXPECT_EQ(ZSTD_compressStream2(c, &o, &in, ZSTD_e_end), 0u);
  ZSTD_freeCCtx(c);
  out.resize(o.pos);
  return out;
}

std::string stored_of_frames(const std::string& frames) {
  std::string stored = "WEQ" + frames;
  unsigned char trailer[8];
  put_le64(trailer, stored.size());
  return stored + std::string(reinterpret_cast<char*>(trailer), 8);
}

std::string entry_record(const std::u16string& name, const std::string& data) {
  std::string r;
  for (char16_t u : name) {
    r.push_back(static_cast<char>(u & 0xFF));
    r.push_back(static_cast<char>(u >> 8));
  }
  r.append(2, '\0');
  unsigned char size[8];
  put_le64(size, data.size());
  return r + std::string(reinterpret_cast<char*>(size), 8) + data;
}

const std::string kEnd("\0\0", 2);

// Walks `stored` and returns the failure line, or "" when it walked.
std::string walk_error(const std::string& stored) {
  StringSource source(stored);
  Recorder recorder;
  try {
    walk_payload(source, recorder, "app.exe");
  } catch (const Failure& f) {
    EXPECT_EQ(f.exit_code(), kExitFailure);
    EXPECT_EQ(std::string(f.what()).find('\n'), std::string::npos) << "not one line";
    EXPECT_EQ(std::string(f.what()).rfind("app.exe: ", 0), 0u) << f.what();
    return f.what();
  }
  return "";
}

TEST(Walker, WalksWhatTheWriterWrote) {
  const std::string big = tarven_test::sample_bytes(600000, 3);  // spans many decoder chunks
  StringSink sink;
  PayloadWriter writer(sink, 3);
  const std::u16string names[] = {u"app.dll", u"d\\empty", u"d\\big", u"\xD83D\xDE00"};
  const std::string datas[] = {"MZ", "", big, "x"};
  for (int i = 0; i < 4; ++i) {
    writer.begin_entry(names[i], datas[i].size());
    writer.write_data(datas[i].data(), datas[i].size());
  }
  writer.finish();

  StringSource source(sink.bytes);
  Recorder recorder;
  const PayloadFacts facts = walk_payload(source, recorder, "app.exe");
  EXPECT_EQ(facts.entries, 4u);
  EXPECT_EQ(recorder.ended, 4u);
  EXPECT_EQ(facts.window_size, uint64_t{1} << 27);
  EXPECT_TRUE(facts.has_checksum);
  EXPECT_EQ(facts.stored_size, sink.bytes.size());
  EXPECT_EQ(facts.unpacked_size, writer.unpacked_size());
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(recorder.names[i], names[i]);
    EXPECT_EQ(recorder.sizes[i], datas[i].size());
    EXPECT_TRUE(recorder.contents[i] == datas[i]) << "entry " << i;
  }
}

TEST(Walker, AcceptsSmallerWindowsAndAnEmptyPayload) {
  EXPECT_EQ(walk_error(stored_of_frames(frame_of(entry_record(u"a", "x") + kEnd, 20))), "");
  StringSource source(stored_of_frames(frame_of(kEnd)));
  Recorder recorder;
  EXPECT_EQ(walk_payload(source, recorder, "app.exe").entries, 0u);
}

TEST(Walker, RefusesDamagedFraming) {
  const std::string good = stored_of_frames(frame_of(entry_record(u"a", "xyz") + kEnd));
  ASSERT_EQ(walk_error(good), "");

  std::string bad_marker = good;
  bad_marker[0] = 'X';
  EXPECT_NE(walk_error(bad_marker).find("WEQ marker"), std::string::npos);

  std::string bad_trailer = good;
  bad_trailer[bad_trailer.size() - 8] ^= 1;
  EXPECT_NE(walk_error(bad_trailer).find("trailer says"), std::string::npos);

  EXPECT_NE(walk_error("WEQ").find("too small"), std::string::npos);

  // A frame cut short, with the trailer still telling the truth.
  const std::string frame = frame_of(entry_record(u"a", tarven_test::sample_bytes(5000, 1)) + kEnd);
  EXPECT_NE(walk_error(stored_of_frames(frame.substr(0, frame.size() - 5))).find("truncated"),
            std::string::npos);

  // A second frame, or any bytes, between the frame and the trailer.
  const std::string two = stored_of_frames(frame_of(entry_record(u"a", "x") + kEnd) + frame_of(kEnd));
  EXPECT_NE(walk_error(two).find("follow the zstd frame"), std::string::npos);

  EXPECT_NE(walk_error(stored_of_frames(frame_of(kEnd, 28))).find("more than the launcher's 2^27"),
            std::string::npos);

  std::string skippable("\x50\x2A\x4D\x18\x00\x00\x00\x00", 8);
  EXPECT_NE(walk_error(stored_of_frames(skippable)).find("skippable"), std::string::npos);
  EXPECT_NE(walk_error(stored_of_frames("not zstd at all")).find("no zstd frame"), std::string::npos);
}

TEST(Walker, RefusesDamagedRecords) {
  auto error_for_stream = [](const std::string& stream) {
    return walk_error(stored_of_frames(frame_of(stream)));
  };
  EXPECT_NE(error_for_stream(entry_record(u"a", "x")).find("no end record"), std::string::npos);
  EXPECT_NE(error_for_stream("").find("no end record"), std::string::npos);
  EXPECT_NE(error_for_stream(kEnd + "zz").find("after the end record"), std::string::npos);
  EXPECT_NE(error_for_stream(entry_record(u"a", "xyz").substr(0, 14)).find("data of entry 1 (1 bytes missing)"),
            std::string::npos);
  EXPECT_NE(error_for_stream(entry_record(u"ab", "").substr(0, 7)).find("size of entry 1"),
            std::string::npos);
  EXPECT_NE(error_for_stream(std::string("a\0b", 3)).find("name of entry 1"), std::string::npos);

  // 1023 units is the longest name; a 1024th unit without a terminator is damage.
  const std::u16string longest(1023, u'n');
  EXPECT_EQ(error_for_stream(entry_record(longest, "") + kEnd), "");
  std::string too_long = entry_record(longest + u"n", "") + kEnd;
  EXPECT_NE(error_for_stream(too_long).find("longer than 1023"), std::string::npos);
}

}  // namespace
}  // namespace tarven
