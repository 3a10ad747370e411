// list/verify/extract on executables that are damaged or carry payloads made
// elsewhere: one line and exit 1 for damage, exit 2 for usage, and extract
// never writes outside its folder.
#include <gtest/gtest.h>

#include <cstddef>

#include "contract/contract.h"

#include "host/errors.h"
#include "host/file_io.h"
#include "host/le_bytes.h"
#include "image/launcher_image.h"
#include "image/pe_image.h"
#include "pack/payload_writer.h"
#include "test_support.h"

namespace tarven {
namespace {

namespace fs = std::filesystem;
using tarven_test::build_exe;
using tarven_test::line_count;
using tarven_test::read_file;
using tarven_test::run_packer;
using tarven_test::ScratchDir;
using tarven_test::write_file;

std::string stored_payload(const std::vector<std::pair<std::u16string, std::string>>& entries) {
  StringSink sink;
  PayloadWriter writer(sink, 1);
  for (const auto& [name, data] : entries) {
    writer.begin_entry(name, data.size());
    writer.write_data(data.data(), data.size());
  }
  writer.finish();
  return sink.bytes;
}

// An executable carrying `payload` verbatim.
fs::path exe_with(const ScratchDir& d, const std::string& name, const std::string& payload) {
  write_file(d / (name + ".bin"), payload);
  const auto r = build_exe(d / (name + ".exe"), {"--raw-payload", (d / (name + ".bin")).string()});
  EXPECT_EQ(r.code, 0) << r.err;
  return d / (name + ".exe");
}

void expect_damage(const tarven_test::RunResult& r, const std::string& needle) {
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(line_count(r.err), 1u) << r.err;
  EXPECT_NE(r.err.find(needle), std::string::npos) << r.err;
}

// Bytes changed inside a stored block decode without a complaint until the
// frame's content checksum at its end. The digests build stores name the
// damaged entry before that; the checksum alone damaged is named as such; an
// executable without digests still verifies, and says what it cannot see.
TEST(DamagedExe, VerifyNamesTheEntryWhoseBytesChanged) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  std::string noise(100000, '\0');
  uint64_t state = 88172645463325252ull;  // xorshift: bytes that zstd stores as they are
  for (char& c : noise) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    c = static_cast<char>(state >> 56);
  }
  write_file(d / "in/app.dll", read_file(tarven_test::test_dll("app.dll")));
  write_file(d / "in/data/noise.bin", noise);
  const auto built = build_exe(d / "app.exe", {(d / "in/app.dll").string(), (d / "in/data").string(),
                                                         "--level", "1"});
  ASSERT_EQ(built.code, 0) << built.err;
  auto verified = run_packer({"verify", (d / "app.exe").string()});
  EXPECT_EQ(verified.code, 0) << verified.err;
  EXPECT_EQ(verified.out.find("no digest"), std::string::npos) << verified.out;

  std::string bytes = read_file(d / "app.exe");
  const size_t at = bytes.find(noise.substr(50000, 64));
  ASSERT_NE(at, std::string::npos) << "the noise is not stored as it is";
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(~bytes[at + i]);
  write_file(d / "damaged.exe", bytes);
  expect_damage(run_packer({"verify", (d / "damaged.exe").string()}),
                "entry 2 'data\\noise.bin' is damaged: its bytes differ from those it was built with");

  bytes = read_file(d / "app.exe");
  InputFile exe(d / "app.exe");
  const LauncherImage image = read_launcher_image(exe);
  const size_t checksum_end = image.payload_offset + image.payload_size - 8;  // before the trailer
  bytes[checksum_end - 1] = static_cast<char>(bytes[checksum_end - 1] ^ 0x10);
  write_file(d / "checksum.exe", bytes);
  for (const char* command : {"verify", "list"})
    expect_damage(run_packer({command, (d / "checksum.exe").string()}),
                  "the zstd frame's content checksum does not match what it decodes to");

  const fs::path raw = exe_with(d, "raw", stored_payload({{u"app.dll", "x"}}));
  verified = run_packer({"verify", raw.string()});
  EXPECT_EQ(verified.code, 0) << verified.err;
  EXPECT_NE(verified.out.find("no digest is stored"), std::string::npos) << verified.out;
}

// Noise that zstd stores as it is, so that its bytes can be found in the executable.
std::string noise_bytes(size_t n) {
  std::string noise(n, '\0');
  uint64_t state = 88172645463325252ull;  // xorshift
  for (char& c : noise) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    c = static_cast<char>(state >> 56);
  }
  return noise;
}

// app.dll and data\noise.bin packed at level 1 into d/app.exe; its bytes.
std::string packed_with_noise(const ScratchDir& d, const std::string& noise) {
  write_file(d / "in/app.dll", read_file(tarven_test::test_dll("app.dll")));
  write_file(d / "in/data/noise.bin", noise);
  const auto built = build_exe(d / "app.exe", {(d / "in/app.dll").string(), (d / "in/data").string(), "--level", "1"});
  EXPECT_EQ(built.code, 0) << built.err;
  return read_file(d / "app.exe");
}

// The PE checksum of `bytes` as the packer writes it.
void fix_checksum(std::string& bytes) {
  auto* data = reinterpret_cast<unsigned char*>(bytes.data());
  const size_t field = get_le32(data + 0x3C) + 24 + 0x40;
  put_le32(data + field, 0);
  uint64_t sum = 0;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    sum += get_le16(data + i);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  put_le32(data + field, static_cast<uint32_t>(sum + bytes.size()));
}

// verify looks at every byte: the header's checksum, the launcher's sections
// against the launcher tarven-pack carries, the resources and the entries
// against the digests build stored. Damage is named where it lies.
TEST(DamagedExe, VerifyChecksTheWholeExecutable) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  const std::string good = packed_with_noise(d, noise_bytes(20000));
  InputFile exe(d / "app.exe");
  const PeImage image(exe, kExitFailure);
  auto middle_of = [&](const std::string& name) {
    const PeSection* s = image.find_section(name);
    EXPECT_NE(s, nullptr) << name;
    return s ? s->raw_offset + image.bytes_in_file(*s) / 2 : 0;
  };
  auto verify_flipped = [&](uint64_t at, bool keep_checksum) {
    std::string bytes = good;
    bytes[at] = static_cast<char>(~bytes[at]);
    if (keep_checksum) fix_checksum(bytes);
    write_file(d / "flipped.exe", bytes);
    return run_packer({"verify", (d / "flipped.exe").string()});
  };
  expect_damage(verify_flipped(middle_of(".text"), false),
                "flipped.exe: the launcher code is damaged: its .text differs from the launcher tarven-pack carries");
  expect_damage(verify_flipped(middle_of(".rdata"), false), "the launcher code is damaged: its .rdata differs");
  expect_damage(verify_flipped(middle_of(".rsrc"), false),
                "flipped.exe: the resources are damaged: their bytes differ from those it was built with");
  // The header's padding before the first section: only the checksum sees it.
  expect_damage(verify_flipped(image.sections()[0].raw_offset - 8, false),
                "flipped.exe: the checksum in its header does not match its bytes");
  // A launcher that differs in a file whose checksum is right was written by
  // another version of the packer: said, not refused.
  const auto other = verify_flipped(middle_of(".text"), true);
  EXPECT_EQ(other.code, 0) << other.err;
  EXPECT_NE(other.out.find("the launcher is not the one this tarven-pack carries"), std::string::npos) << other.out;
  EXPECT_NE(other.out.find(": OK: 2 entries"), std::string::npos) << other.out;
}

// A payload byte flipped: extract names the entry, removes what it wrote of
// it and exits 1; list does not show the damaged payload as a good one.
TEST(DamagedExe, ExtractAndListRefuseADamagedEntry) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  const std::string noise = noise_bytes(100000);
  std::string bytes = packed_with_noise(d, noise);
  const size_t at = bytes.find(noise.substr(50000, 64));
  ASSERT_NE(at, std::string::npos) << "the noise is not stored as it is";
  bytes[at] = static_cast<char>(~bytes[at]);
  write_file(d / "damaged.exe", bytes);
  const std::string entry = "entry 2 'data\\noise.bin' is damaged: its bytes differ from those it was built with";
  expect_damage(run_packer({"extract", (d / "damaged.exe").string(), (d / "out").string()}), entry + " (not written)");
  EXPECT_TRUE(fs::exists(d / "out/app.dll"));
  EXPECT_FALSE(fs::exists(d / "out/data/noise.bin"));
  const auto listed = run_packer({"list", (d / "damaged.exe").string()});
  expect_damage(listed, entry);
  EXPECT_EQ(listed.out, "");
}

// The slots and the section table steer every read: each damaged value
// gives one line and exit 1, never a read outside the file or a huge one.
TEST(DamagedExe, DamagedSlotsAndSectionTablesAreOneLineEach) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  const std::string good = packed_with_noise(d, noise_bytes(3 << 20));  // room for 65,535 section headers
  InputFile exe(d / "app.exe");
  const PeImage image(exe, kExitFailure);
  const PeSection* slots = image.find_section(TARVEN_SLOTS_SECTION);
  const PeSection* payload = image.find_section(".payload");
  ASSERT_TRUE(slots && payload);
  const size_t pe = get_le32(reinterpret_cast<const unsigned char*>(good.data()) + 0x3C);
  const size_t table = pe + 24 + get_le16(reinterpret_cast<const unsigned char*>(good.data()) + pe + 20);
  const struct {
    const char* what;
    size_t at;
    uint64_t value;
    int width;
    const char* said;
  } cases[] = {
      {"payload RVA outside the image", slots->raw_offset + offsetof(TarvenSlots, payload_rva), 0x7FFF0000, 4,
       "does not fit in its section"},
      {"a huge payload size", slots->raw_offset + offsetof(TarvenSlots, payload_size), uint64_t{1} << 62, 8,
       "does not fit in its section"},
      {"texts at 0", slots->raw_offset + offsetof(TarvenSlots, target_template_rva), 0, 4,
       "its texts lie outside its sections"},
      {"the id at a section's end", slots->raw_offset + offsetof(TarvenSlots, payload_id_rva),
       payload->virtual_address + image.bytes_in_file(*payload) - 2, 4, "its payload id lies outside its sections"},
      {"a raw size past the end of the file", table + 16, 0x7FFFFFF0, 4, "extends past the end of the file"},
      {"65,535 sections", pe + 6, 0xFFFF, 2, "flipped.exe: "},
  };
  for (const auto& c : cases) {
    std::string bytes = good;
    for (int i = 0; i < c.width; ++i) bytes[c.at + i] = static_cast<char>(c.value >> (8 * i));
    write_file(d / "flipped.exe", bytes);
    SCOPED_TRACE(c.what);
    for (const char* command : {"verify", "list"}) expect_damage(run_packer({command, (d / "flipped.exe").string()}), c.said);
  }
}

TEST(DamagedExe, VerifyListAndExtractReportOneLineAndExit1) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  const std::string payload = stored_payload({{u"app.dll", tarven_test::sample_bytes(100000, 5)}});
  const fs::path good = exe_with(d, "good", payload);
  ASSERT_EQ(run_packer({"verify", good.string()}).code, 0);

  // A damaged first block header (after "WEQ" and the 6-byte frame header):
  // reserved block type: framing damage is caught where it is met, before
  // the frame's checksum at its end.
  std::string bytes = read_file(good);
  InputFile exe(good);
  const LauncherImage image = read_launcher_image(exe);
  bytes[image.payload_offset + 9] = '\xFF';
  write_file(d / "flipped.exe", bytes);
  // Damage the decoder finds is named by the first entry it reaches.
  const std::string named = "flipped.exe: the compressed payload is damaged from the record of entry 1 on (zstd: ";
  for (const char* command : {"verify", "list"})
    expect_damage(run_packer({command, (d / "flipped.exe").string()}), named);
  expect_damage(run_packer({"extract", (d / "flipped.exe").string(), (d / "x").string()}), named);

  write_file(d / "cut.exe", bytes.substr(0, image.payload_offset + 100));
  expect_damage(run_packer({"verify", (d / "cut.exe").string()}), "cut.exe: ");
  write_file(d / "text.exe", "just text");
  expect_damage(run_packer({"verify", (d / "text.exe").string()}), "text.exe: is not a PE file");
  expect_damage(run_packer({"verify", tarven_test::test_dll("program.exe").string()}), "has no .tarven section");

  const auto missing = run_packer({"verify", (d / "missing.exe").string()});
  EXPECT_EQ(missing.code, 2);
  EXPECT_EQ(run_packer({"verify"}).code, 2);
  EXPECT_EQ(run_packer({"verify", good.string(), good.string()}).code, 2);
}

TEST(DamagedExe, VerifyAppliesTheNameRulesOfBuild) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  expect_damage(run_packer({"verify", exe_with(d, "dots", stored_payload({{u"a\\..\\b", "x"}})).string()}),
                "entry 1 'a\\..\\b' has a '..' component");
  expect_damage(run_packer({"verify", exe_with(d, "case", stored_payload({{u"A.txt", "1"}, {u"a.TXT", "2"}})).string()}),
                "entry 2 'a.TXT' is the same name on Windows as entry 1 'A.txt'");
  expect_damage(run_packer({"verify", exe_with(d, "empty", stored_payload({})).string()}), "no entries");
  expect_damage(run_packer({"verify", exe_with(d, "garbage", "WEQ garbage").string()}), "trailer says");
}

TEST(DamagedExe, ExtractStaysInsideItsFolderAndLetsLaterEntriesWin) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  const fs::path escape = exe_with(d, "escape", stored_payload({{u"ok.txt", "fine"}, {u"..\\evil.txt", "bad"}}));
  expect_damage(run_packer({"extract", escape.string(), (d / "box").string()}), "'..\\evil.txt' has a '..' component");
  EXPECT_FALSE(fs::exists(d / "evil.txt"));
  const fs::path absolute = exe_with(d, "absolute", stored_payload({{u"\\tmp\\evil.txt", "bad"}}));
  expect_damage(run_packer({"extract", absolute.string(), (d / "box2").string()}), "is absolute");

  // Windows names are case-insensitive: the later entry replaces the earlier
  // file, which keeps the first spelling; folders merge the same way.
  const fs::path dup = exe_with(d, "dup", stored_payload({{u"Dir\\A.txt", "first"},
                                                          {u"dir\\a.TXT", "second"},
                                                          {u"DIR\\b.txt", "b"}}));
  const auto r = run_packer({"extract", dup.string(), (d / "dup-out").string()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(read_file(d / "dup-out/Dir/A.txt"), "second");
  EXPECT_EQ(read_file(d / "dup-out/Dir/b.txt"), "b");
  size_t count = 0;
  for (const auto& e : fs::recursive_directory_iterator(d / "dup-out")) count += e.is_regular_file();
  EXPECT_EQ(count, 2u);

  const fs::path file_then_folder = exe_with(d, "fthen", stored_payload({{u"a", "1"}, {u"A\\b", "2"}}));
  expect_damage(run_packer({"extract", file_then_folder.string(), (d / "ft").string()}), "as a folder");

  write_file(d / "busy/x", "");
  const auto busy = run_packer({"extract", dup.string(), (d / "busy").string()});
  EXPECT_EQ(busy.code, 2);
  EXPECT_NE(busy.err.find("must be an empty folder or not exist"), std::string::npos) << busy.err;
}

}  // namespace
}  // namespace tarven
