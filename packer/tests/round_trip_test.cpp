// A real tree through build, then extract, verify and list: what comes out is
// what went in, under the names the launcher will use.
#include <gtest/gtest.h>

#include <map>

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
  EXPECT_NE(verified.out.find("zstd window 2^27"), std::string::npos) << verified.out;

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
                                       "version: 2.0.0.1\n";
  EXPECT_EQ(listed.out.substr(0, expected_entries.size()), expected_entries);
  const uint64_t exe_size = fs::file_size(d / "tool.exe");
  const size_t stored_at = listed.out.find("bytes stored");
  ASSERT_NE(stored_at, std::string::npos) << listed.out;
  const size_t num_start = listed.out.rfind(' ', stored_at - 2) + 1;
  const uint64_t stored = std::stoull(listed.out.substr(num_start, stored_at - 1 - num_start));
  EXPECT_NE(listed.out.find("launcher size: " + std::to_string(exe_size - stored) + " bytes\n"),
            std::string::npos)
      << listed.out;
  // Names of 7, 10, 10 and 8 units, each with a zero unit and a size, the data, the end record.
  const uint64_t unpacked = 2 * (7 + 10 + 10 + 8) + 4 * (2 + 8) + std::stoull(dll_size) + 1 + 2 + 5 + 2;
  EXPECT_NE(listed.out.find("payload: 4 entries, " + std::to_string(stored) + " bytes stored, " +
                            std::to_string(unpacked) + " bytes unpacked\n"),
            std::string::npos)
      << listed.out;
}

}  // namespace
}  // namespace tarven
