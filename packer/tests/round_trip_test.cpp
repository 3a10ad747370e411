// A real tree through build, then extract, verify and list: what comes out is
// what went in, under the names the launcher will use.
#include <gtest/gtest.h>

#include <map>

#include "host/errors.h"
#include "host/file_io.h"
#include "image/launcher_image.h"
#include "pack/byte_sink.h"
#include "pack/entry_digest.h"
#include "pack/inputs.h"
#include "pack/pack_payload.h"
#include "pack/payload_walker.h"
#include "test_support.h"

namespace tarven {
namespace {

namespace fs = std::filesystem;
using tarven_test::build_exe;
using tarven_test::read_file;
using tarven_test::run_packer;
using tarven_test::ScratchDir;
using tarven_test::write_file;

// Relative path (UTF-8, '/') -> contents of every file under `root`.
std::map<std::string, std::string> tree_of(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) files[fs::relative(e.path(), root).string()] = read_file(e.path());
  return files;
}

TEST(RoundTrip, TreeComesBackFromExtractAndPassesVerify) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  const std::string c255(255, 'c');
  // "app\" + three 255-unit folders with separators is 772 units: 251 more make 1023.
  const std::string longest = c255 + "/" + c255 + "/" + c255 + "/" + std::string(251, 'L');
  const std::map<std::string, std::string> files = {
      {"empty.txt", ""},
      {"deep/er/still/file.txt", "nested"},
      {"blocks/32768.bin", tarven_test::sample_bytes(32768, 1)},
      {"blocks/32769.bin", tarven_test::sample_bytes(32769, 2)},
      {"blocks/big.bin", tarven_test::sample_bytes(3 << 20, 3)},
      {"\xC3\xBCmlaut/\xD0\xB6\xD0\xB8\xD0\xB7\xD0\xBD\xD1\x8C.txt", "non-ASCII"},
      {"\xF0\x9F\x98\x80/\xF0\x9F\x8E\x89.bin", "non-BMP"},
      {longest, "long"},
  };
  for (const auto& [rel, bytes] : files) write_file(d / "app" / rel, bytes);
  fs::create_directories(d / "app/empty-folder");
  fs::copy_file(tarven_test::test_dll("app.dll"), d / "entry.dll");

  const auto built = build_exe(d / "app.exe", {(d / "entry.dll").string(), (d / "app").string(),
                                                          "--level", "3"});
  ASSERT_EQ(built.code, 0) << built.err;
  EXPECT_NE(built.err.find(": 9 files, "), std::string::npos) << built.err;

  const auto verified = run_packer({"verify", (d / "app.exe").string()});
  EXPECT_EQ(verified.code, 0) << verified.err;
  EXPECT_NE(verified.out.find(": OK: 9 entries"), std::string::npos) << verified.out;
  // 3.3 MB of stream: the smallest window that holds it, and the checksum.
  EXPECT_NE(verified.out.find("bytes of files; a stream of "), std::string::npos) << verified.out;
  EXPECT_NE(verified.out.find("zstd window 2^22, with checksum"), std::string::npos) << verified.out;

  const auto extracted = run_packer({"extract", (d / "app.exe").string(), (d / "out").string()});
  ASSERT_EQ(extracted.code, 0) << extracted.err;
  std::map<std::string, std::string> expected;
  for (const auto& [rel, bytes] : files) expected["app/" + rel] = bytes;
  expected["entry.dll"] = read_file(d / "entry.dll");
  const auto got = tree_of(d / "out");
  EXPECT_EQ(got.size(), expected.size());
  for (const auto& [rel, bytes] : expected) {
    auto it = got.find(rel);
    ASSERT_NE(it, got.end()) << "missing " << rel;
    EXPECT_TRUE(it->second == bytes) << "contents of " << rel;
  }
  EXPECT_FALSE(fs::exists(d / "out/app/empty-folder")) << "folders have no records";
}

TEST(RoundTrip, ListShowsEntriesInPayloadOrderAndTheTexts) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  write_file(d / "data/b.txt", "bb");
  write_file(d / "data/A.txt", "a");
  write_file(d / "zeta.cfg", "12345");
  const auto built = build_exe(
      d / "tool.exe", {tarven_test::test_dll("app.dll").string(), (d / "zeta.cfg").string(),
                       (d / "data").string(), "--company", "ACME", "--version", "2.0.0.1"});
  ASSERT_EQ(built.code, 0) << built.err;
  const auto listed = run_packer({"list", (d / "tool.exe").string()});
  ASSERT_EQ(listed.code, 0) << listed.err;
  const std::string dll_size = std::to_string(fs::file_size(tarven_test::test_dll("app.dll")));
  const std::string expected_entries = "entries (payload order):\n" +
                                       std::string(14 - dll_size.size(), ' ') + dll_size + "  app.dll\n"
                                       "             1  data\\A.txt\n"
                                       "             2  data\\b.txt\n"
                                       "             5  zeta.cfg\n"
                                       "target template: {TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}\n"
                                       "company: ACME\n"
                                       "product: tool\n"
                                       "version: 2.0.0.1\n"
                                       "description: tool\n"
                                       "copyright: \n"
                                       "subsystem: GUI\n"
                                       "mode: unpacked at every start\n"
                                       "execution level: asInvoker\n";
  EXPECT_EQ(listed.out.substr(0, expected_entries.size()), expected_entries);
  const uint64_t exe_size = fs::file_size(d / "tool.exe");
  const size_t stored_at = listed.out.find("bytes stored");
  ASSERT_NE(stored_at, std::string::npos) << listed.out;
  const size_t num_start = listed.out.rfind(' ', stored_at - 2) + 1;
  const uint64_t stored = std::stoull(listed.out.substr(num_start, stored_at - 1 - num_start));
  EXPECT_NE(listed.out.find("launcher size: " + std::to_string(exe_size - stored) + " bytes\n"),
            std::string::npos)
      << listed.out;
  // The files' bytes, the sum of the sizes listed above (the stream's records are not files).
  const uint64_t files = std::stoull(dll_size) + 1 + 2 + 5;
  EXPECT_NE(listed.out.find("payload: 4 entries, " + std::to_string(files) + " bytes of files, " +
                            std::to_string(stored) + " bytes stored\n"),
            std::string::npos)
      << listed.out;
}

// The progress window's switch and the bytes its bar counts to (the files'
// data, what the launcher writes) are in the slots, and list shows them.
TEST(RoundTrip, ProgressWindowIsStoredWithTheBytesItCountsTo) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  write_file(d / "data/b.txt", "bb");
  write_file(d / "zeta.cfg", "12345");
  const std::vector<std::string> inputs = {tarven_test::test_dll("app.dll").string(), (d / "zeta.cfg").string(),
                                           (d / "data").string()};
  std::vector<std::string> with_window = inputs;
  with_window.push_back("--progress-window");
  ASSERT_EQ(build_exe(d / "shown.exe", with_window).code, 0);
  ASSERT_EQ(build_exe(d / "plain.exe", inputs).code, 0);
  const uint64_t data = fs::file_size(tarven_test::test_dll("app.dll")) + 2 + 5;
  const auto shown = run_packer({"list", (d / "shown.exe").string()});
  EXPECT_NE(shown.out.find("progress window: shown when unpacking takes over 0.5 s, counting to " +
                           std::to_string(data) + " bytes\n"),
            std::string::npos)
      << shown.out;
  EXPECT_NE(run_packer({"list", (d / "plain.exe").string()}).out.find("progress window: none\n"), std::string::npos);
  InputFile shown_exe(d / "shown.exe"), plain_exe(d / "plain.exe");
  const LauncherImage shown_image = read_launcher_image(shown_exe), plain_image = read_launcher_image(plain_exe);
  EXPECT_TRUE(shown_image.texts.progress_window);
  EXPECT_FALSE(plain_image.texts.progress_window);
  EXPECT_EQ(shown_image.texts.unpacked_size, data);
  EXPECT_EQ(plain_image.texts.unpacked_size, data);
}

// list --json: one object of stable names for tools, the same facts as the
// text listing, names escaped as JSON needs them.
TEST(RoundTrip, ListJsonIsOneObjectOfStableNames) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  write_file(d / "data/q\xC3\xA9.txt", "bb");
  write_file(d / "zeta.cfg", "12345");
  const std::string dll = tarven_test::test_dll("app.dll").string();
  ASSERT_EQ(build_exe(d / "tool.exe", {dll, (d / "zeta.cfg").string(), (d / "data").string(), "--cache", "--console",
                                       "--company", "A", "--copyright", "(c) \"A\"\\", "--progress-window"})
                .code,
            0);
  const auto listed = run_packer({"list", "--json", (d / "tool.exe").string()});
  ASSERT_EQ(listed.code, 0) << listed.err;
  InputFile exe(d / "tool.exe");
  const LauncherImage image = read_launcher_image(exe);
  auto digest = [](const std::u16string& name, const std::string& bytes) {
    EntryDigest digest(name);
    digest.add(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(digest.value()));
    return std::string(hex);
  };
  const std::string dll_bytes = read_file(dll);
  const uint64_t files = dll_bytes.size() + 2 + 5;
  const std::string expected =
      "{\n  \"entries\": [\n"
      "    {\"name\": \"app.dll\", \"size\": " + std::to_string(dll_bytes.size()) + ", \"digest\": \"" +
      digest(u"app.dll", dll_bytes) + "\"},\n"
      "    {\"name\": \"data\\\\q\xC3\xA9.txt\", \"size\": 2, \"digest\": \"" + digest(u"data\\q\u00e9.txt", "bb") + "\"},\n"
      "    {\"name\": \"zeta.cfg\", \"size\": 5, \"digest\": \"" + digest(u"zeta.cfg", "12345") + "\"}\n  ],\n"
      "  \"texts\": {\"target_template\": \"{CACHE_DIR}\\\\{COMPANY}\\\\{PRODUCT}\\\\{PAYLOAD_ID}\", \"company\": "
      "\"A\", \"product\": \"tool\", \"version\": \"0.0.0.0\", \"description\": \"tool\", \"copyright\": \"(c) \\\"A\\\"\\\\\"},\n"
      "  \"subsystem\": \"console\",\n  \"mode\": \"cached\",\n  \"execution_level\": \"asInvoker\",\n"
      "  \"progress_window\": true,\n  \"payload_id\": \"" + std::string(image.texts.payload_id.begin(), image.texts.payload_id.end()) + "\",\n"
      "  \"sizes\": {\"executable\": " + std::to_string(image.file_size) + ", \"launcher\": " +
      std::to_string(image.file_size - image.payload_size) + ", \"stored\": " + std::to_string(image.payload_size) +
      ", \"files\": " + std::to_string(files) + ", \"stream\": " +
      std::to_string(files + 2 * (7 + 11 + 8) + 3 * (2 + 8) + 2) + "}\n}\n";
  EXPECT_EQ(listed.out, expected);
  EXPECT_EQ(image.texts.payload_id.size(), 16u);
}

class Contents : public EntryVisitor {
 public:
  void begin_entry(uint64_t, const std::u16string&, uint64_t) override { files.emplace_back(); }
  void data(const unsigned char* bytes, size_t n) override {
    files.back().append(reinterpret_cast<const char*>(bytes), n);
  }
  void end_entry() override {}
  std::vector<std::string> files;
};

// Files are read straight into the encoder's 1 MiB input buffer, and the last
// read of each asks for one byte more, to see that the file did not grow:
// sizes around the buffer's end take every path, and what comes out is exact.
TEST(PackPayload, ReadsEachFileExactlyWhereverItsEndFalls) {
  ScratchDir d;
  write_file(d / "app.dll", "MZ");
  const size_t head = 2 * 7 + 10 + 2 + 2 * 6 + 10;  // the records of app.dll and t\data before the data
  for (size_t size : {(1u << 20) - head - 1, (1u << 20) - head, (1u << 20) - head + 1, size_t{3} << 20}) {
    SCOPED_TRACE("size " + std::to_string(size));
    const std::string bytes = tarven_test::sample_bytes(size, 9);
    write_file(d / "t/data", bytes);
    StringSink sink;
    const PackTotals totals = pack_payload(collect_inputs(d / "app.dll", {d / "t"}), sink, 1, nullptr, 1);
    EXPECT_EQ(totals.files, 2u);
    EXPECT_EQ(totals.stored_bytes, sink.bytes.size());
    StringSource source(sink.bytes);
    Contents contents;
    walk_payload(source, contents, "payload");
    ASSERT_EQ(contents.files.size(), 2u);
    EXPECT_TRUE(contents.files[1] == bytes);
  }
}

TEST(PackPayload, RefusesAFileThatChangedSizeSinceItWasCollected) {
  ScratchDir d;
  write_file(d / "app.dll", "MZ");
  for (size_t size : {size_t{5}, size_t{600000}}) {
    for (long change : {-1L, 1L}) {
      SCOPED_TRACE("size " + std::to_string(size) + ", change " + std::to_string(change));
      write_file(d / "t/data", tarven_test::sample_bytes(size, 4));
      const std::vector<PackEntry> entries = collect_inputs(d / "app.dll", {d / "t"});
      write_file(d / "t/data", tarven_test::sample_bytes(size + change, 4));
      StringSink sink;
      try {
        pack_payload(entries, sink, 1, nullptr, 1);
        ADD_FAILURE() << "packed a file that changed";
      } catch (const Failure& f) {
        const std::string expected = "data: changed size while packing (" + std::to_string(size) + " -> " +
                                     std::to_string(size + change) + " bytes)";
        EXPECT_NE(std::string(f.what()).find(expected), std::string::npos) << f.what();
      }
    }
  }
}

}  // namespace
}  // namespace tarven
