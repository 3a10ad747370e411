// The pack-time check of the entry DLL: machine, PE32+, DLL flag and the
// run_code export, on byte-built images and on DLLs from the real toolchain.
#include <gtest/gtest.h>

#include "image/entry_check.h"
#include "host/errors.h"
#include "pe_builder.h"
#include "test_support.h"

namespace tarven {
namespace {

using tarven_test::make_pe;
using tarven_test::PeShape;

std::string refusal(const std::filesystem::path& path) {
  try {
    check_entry_dll(path);
  } catch (const Failure& f) {
    EXPECT_EQ(f.exit_code(), kExitUsage);
    EXPECT_EQ(std::string(f.what()).rfind(path.string() + ": ", 0), 0u) << f.what();
    return f.what();
  }
  return "";
}

std::string refusal_of(const tarven_test::ScratchDir& dir, const std::string& bytes) {
  const auto path = dir / "test.dll";
  tarven_test::write_file(path, bytes);
  return refusal(path);
}

// An export table is bounded by the file, not by what it claims: a million
// pointers at one long name, or at every byte of it, ask for no gigabytes.
TEST(EntryCheck, HostileExportTablesCostWhatTheFileHolds) {
  tarven_test::ScratchDir dir;
  PeShape repeated;
  repeated.exports = {std::string(4000, 'x')};
  repeated.export_repeats = 1000000;
  EXPECT_NE(refusal_of(dir, make_pe(repeated)).find("does not export run_code by name"), std::string::npos);
  repeated.export_skew = 1;
  EXPECT_NE(refusal_of(dir, make_pe(repeated)).find("has export names that add up to more than the file holds"),
            std::string::npos);
}

TEST(EntryCheck, JudgesBuiltImages) {
  tarven_test::ScratchDir dir;
  PeShape good;
  good.exports = {"alpha", "run_code", "zeta"};
  EXPECT_EQ(refusal_of(dir, make_pe(good)), "");

  PeShape x86 = good;
  x86.machine = 0x14C;
  x86.magic = 0x10B;
  EXPECT_NE(refusal_of(dir, make_pe(x86)).find("is a 32-bit (x86) DLL; the launcher loads 64-bit (x86-64) DLLs only"),
            std::string::npos);
  PeShape arm = good;
  arm.machine = 0x1234;
  EXPECT_NE(refusal_of(dir, make_pe(arm)).find("is built for machine 0x1234;"), std::string::npos);

  PeShape pe32 = good;
  pe32.magic = 0x10B;
  EXPECT_NE(refusal_of(dir, make_pe(pe32)).find("not a PE32+ image"), std::string::npos);

  PeShape program = good;
  program.characteristics = 0x0022;
  EXPECT_NE(refusal_of(dir, make_pe(program)).find("is not a DLL"), std::string::npos);

  PeShape other = good;
  other.exports = {"run_code_2", "Run_code", "run"};
  EXPECT_NE(refusal_of(dir, make_pe(other)).find("does not export run_code"), std::string::npos);
  // A C++ run_code without extern "C": the name found and the fix.
  for (const char* mangled : {"_Z8run_codeiPPwPKw", "?run_code@@YAHHPEAPEA_WPEB_W@Z"}) {
    PeShape cpp = good;
    cpp.exports = {mangled};
    EXPECT_NE(refusal_of(dir, make_pe(cpp)).find(std::string("exports run_code only under its C++ name '") + mangled +
                                                 "'; declare it extern \"C\""),
              std::string::npos);
  }
  PeShape none = good;
  none.exports.clear();
  EXPECT_NE(refusal_of(dir, make_pe(none)).find("does not export run_code"), std::string::npos);
}

TEST(EntryCheck, RefusesDamagedImagesWithOneLine) {
  tarven_test::ScratchDir dir;
  PeShape good;
  good.exports = {"run_code"};
  const std::string image = make_pe(good);
  EXPECT_NE(refusal_of(dir, "MZ").find("not a PE file"), std::string::npos);
  EXPECT_NE(refusal_of(dir, std::string(200, 'x')).find("no MZ header"), std::string::npos);
  std::string no_signature = image;
  no_signature[0x40] = 'X';
  EXPECT_NE(refusal_of(dir, no_signature).find("no PE signature"), std::string::npos);
  EXPECT_NE(refusal_of(dir, image.substr(0, 0x300)).find("extends past the end"), std::string::npos);
  std::string wild_export = image;
  wild_export[0x40 + 24 + 112 + 1] = '\x70';  // export directory RVA 0x7000: outside every section
  EXPECT_NE(refusal_of(dir, wild_export).find("outside its sections"), std::string::npos);
  EXPECT_NE(refusal(dir / "missing.dll").find("cannot open"), std::string::npos);
}

TEST(EntryCheck, JudgesToolchainBuiltFiles) {
  TARVEN_REQUIRE_MINGW();
  EXPECT_EQ(refusal(tarven_test::test_dll("app.dll")), "");
  EXPECT_NE(refusal(tarven_test::test_dll("no_run_code.dll")).find("does not export run_code"),
            std::string::npos);
  EXPECT_NE(refusal(tarven_test::test_dll("program.exe")).find("is not a DLL"), std::string::npos);
}

}  // namespace
}  // namespace tarven
