// `tarven-pack build` through the real executable: reproducible output, the
// texts and resources it writes, --raw-payload, no tools needed, and refusals
// that are one line with exit code 2.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "host/errors.h"
#include "host/file_io.h"
#include "image/launcher_image.h"
#include "image/pe_image.h"
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

std::string utf16le(const std::u16string& s) {
  std::string out;
  for (char16_t u : s) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

std::string section_bytes(const fs::path& exe, const std::string& name) {
  InputFile file(exe);
  PeImage image(file, kExitFailure);
  const PeSection* s = image.find_section(name);
  if (!s) return "";
  std::string bytes(image.bytes_in_file(*s), '\0');
  file.read_at(s->raw_offset, bytes.data(), bytes.size());
  return bytes;
}

void expect_one_line_refusal(const tarven_test::RunResult& r, const std::string& needle) {
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_EQ(line_count(r.err), 1u) << r.err;
  EXPECT_EQ(r.err.rfind("tarven-pack: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(needle), std::string::npos) << r.err;
}

TEST(BuildCli, HelpListsCommandsAndEachCommandHasHelp) {
  const auto top = run_packer({"--help"});
  EXPECT_EQ(top.code, 0);
  for (const char* command : {"build", "list", "verify", "extract"}) {
    EXPECT_NE(top.out.find(std::string("  ") + command + " "), std::string::npos) << command;
    const auto help = run_packer({command, "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.rfind(std::string("usage: tarven-pack ") + command, 0), 0u) << help.out;
  }
  expect_one_line_refusal(run_packer({"pack"}), "unknown command 'pack'");
  EXPECT_EQ(run_packer({}).code, 2);
  const auto version = run_packer({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out.rfind("tarven-pack ", 0), 0u) << version.out;
  EXPECT_EQ(run_packer({"build", "--help"}).out.find("--raw-payload"), std::string::npos);  // a testing option
}

// The subsystem in the optional header: 2 a GUI program (the default), 3 a
// console one (--console). Windows decides by it whether a shell waits.
TEST(BuildCli, ConsoleProgramsAreMarkedSo) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  auto subsystem = [](const fs::path& exe) {
    const std::string image = read_file(exe);
    const size_t pe = static_cast<unsigned char>(image[0x3C]) | (static_cast<unsigned char>(image[0x3D]) << 8);
    return static_cast<unsigned char>(image[pe + 24 + 68]) | (static_cast<unsigned char>(image[pe + 24 + 69]) << 8);
  };
  const std::string dll = tarven_test::test_dll("app.dll").string();
  ASSERT_EQ(build_exe(d / "gui.exe", {dll}).code, 0);
  ASSERT_EQ(build_exe(d / "console.exe", {dll, "--console"}).code, 0);
  EXPECT_EQ(subsystem(d / "gui.exe"), 2);
  EXPECT_EQ(subsystem(d / "console.exe"), 3);
}

// The output's name, and what a build packs from folders around it.
TEST(BuildCli, OutputNamesAndWhatIsPacked) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  fs::copy_file(tarven_test::test_dll("app.dll"), d / "app.dll");
  write_file(d / "data/a.txt", "a");
  fs::create_directories(d / "data/empty");
  // -o without .exe gets it and says so; another ending is refused.
  auto r = build_exe(d / "tool", {(d / "app.dll").string(), (d / "data").string()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(d / "tool.exe"));
  EXPECT_NE(r.err.find("(.exe added to -o)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("data/empty: an empty folder"), std::string::npos) << r.err;
  expect_one_line_refusal(build_exe(d / "a.dll", {(d / "app.dll").string()}), "must end in .exe");
  expect_one_line_refusal(build_exe(d / "x.exe", {(d / "app.dll").string(), "-o", (d / "y.exe").string()}),
                          "-o is given twice");
  expect_one_line_refusal(build_exe(d / "x.exe", {(d / "app.dll").string(), (d / "data").string(),
                                                            (d / "data/../data").string()}),
                          "listed twice (also as");
  // Packing the folder that holds the output never packs the output: a
  // rebuild does not grow.
  uintmax_t sizes[2];
  for (uintmax_t& size : sizes) {
    r = build_exe(d / "self.exe", {(d / "app.dll").string(), d.path().string()});
    ASSERT_EQ(r.code, 0) << r.err;
    size = fs::file_size(d / "self.exe");
  }
  EXPECT_EQ(sizes[0], sizes[1]);
  const auto listed = run_packer({"list", (d / "self.exe").string()});
  EXPECT_EQ(listed.out.find("self.exe"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("tool.exe"), std::string::npos) << listed.out;  // another file of the folder
}

// Windows opens a device for CON, AUX, NUL, COM1... whatever the folder and
// ending, and drops a final dot or space: no such program could be started.
TEST(BuildCli, RefusesOutputNamesWindowsCannotStart) {
  ScratchDir d;
  write_file(d / "app.dll", "MZ");
  for (const char* name : {"con.exe", "aux.exe", "nul.exe", "NUL.exe", "COM1.exe", "lpt9.exe", "con", "app.",
                           "app.exe ", "a?b.exe"}) {
    expect_one_line_refusal(build_exe(d / name, {(d / "app.dll").string()}),
                            "Windows cannot start a program of this name");
    EXPECT_EQ(std::distance(fs::directory_iterator(d.path()), fs::directory_iterator()), 1) << name;
  }
}

// What build says: the kind of program and its mode in the summary, a note
// about --cache for a payload of many files; list says the same.
TEST(BuildCli, SaysWhatItMadeAndSuggestsTheCacheForManyFiles) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  for (int i = 0; i < 1001; ++i) write_file(d / "many" / ("f" + std::to_string(i)), "x");
  const std::string dll = tarven_test::test_dll("app.dll").string();
  auto r = build_exe(d / "plain.exe", {dll, (d / "many").string(), "--level", "1"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("tarven-pack: note: 1002 files: every start unpacks them all; --cache unpacks them once"),
            std::string::npos) << r.err;
  EXPECT_NE(r.err.find("; a GUI program, unpacked at every start\n"), std::string::npos) << r.err;
  r = build_exe(d / "cached.exe", {dll, (d / "many").string(), "--level", "1", "--cache", "--console"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(line_count(r.err), 1u) << r.err;
  EXPECT_NE(r.err.find("; a console program, cached (unpacked once)\n"), std::string::npos) << r.err;
  const auto listed = run_packer({"list", (d / "cached.exe").string()});
  EXPECT_NE(listed.out.find("\nsubsystem: console\nmode: cached (unpacked once, reused by later starts)\n"),
            std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("\npayload: 1002 entries, "), std::string::npos) << listed.out;
}

// Limits known before packing are checked before packing: a raw payload past
// what an executable holds is not copied first, a version text past 64 KiB
// is refused before any file is read.
TEST(BuildCli, RefusesWhatCannotFitBeforePacking) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  {
    std::ofstream sparse(d / "huge.bin", std::ios::binary);
  }
  fs::resize_file(d / "huge.bin", uint64_t{2} << 30);
  expect_one_line_refusal(build_exe(d / "raw.exe", {"--raw-payload", (d / "huge.bin").string()}),
                          "raw.exe: the payload would be more than 2080374784 bytes");
  expect_one_line_refusal(build_exe(d / "long.exe", {tarven_test::test_dll("app.dll").string(),
                                                     "--company", std::string(40000, 'x')}),
                          "the version information's texts are too long");
  EXPECT_EQ(std::distance(fs::directory_iterator(d.path()), fs::directory_iterator()), 1);
}

TEST(BuildCli, SameInputsGiveByteIdenticalExecutables) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir a, b;
  fs::path outputs[2];
  const ScratchDir* dirs[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    const ScratchDir& d = *dirs[i];
    write_file(d / "in/lib/x.txt", tarven_test::sample_bytes(8 << 20, 1));  // several compression jobs
    fs::copy_file(tarven_test::test_dll("app.dll"), d / "in/app.dll");
    write_file(d / "in/lib/sub/y.bin", "y");
    outputs[i] = d / "out/app.exe";
    fs::create_directories(d / "out");
    // One compression thread, then three: the bytes must not depend on the machine's cores.
    const auto r = build_exe(outputs[i], {(d / "in/app.dll").string(), (d / "in/lib").string(),
                                                    "--company", "Ac\xC3\xA9", "--version", "1.2.3.4",
                                                    "--threads", i == 0 ? "1" : "3", "--level", "3"});
    ASSERT_EQ(r.code, 0) << r.err;
  }
  const std::string first = read_file(outputs[0]);
  EXPECT_TRUE(first == read_file(outputs[1])) << "the two executables differ";
  EXPECT_EQ(first.find(a.path().string()), std::string::npos) << "a build path leaked into the PE";
  EXPECT_EQ(first.find("tarven-pack-"), std::string::npos) << "the scratch folder leaked into the PE";
}

TEST(BuildCli, EmbedsTextsAndVersionResource) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  // Quotes, a backslash, non-BMP, and hex digits right after escaped characters.
  const std::string company = "Caf\xC3\xA9" "0 \"Q\" \\ \xF0\x9F\x98\x80" "A";
  const auto r = build_exe(d / "My App.exe",
                                     {tarven_test::test_dll("app.dll").string(), "--company", company,
                                      "--product", "Prod\xC3\xBC" "ct", "--version", "1.2.65535.40",
                                      "--target-template", "{HOME}\\x_{PID}", "--level", "3"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(line_count(r.err), 1u) << r.err;
  EXPECT_NE(r.err.find("wrote " + (d / "My App.exe").string() + ": 1 file, "), std::string::npos) << r.err;

  InputFile exe(d / "My App.exe");
  const LauncherImage image = read_launcher_image(exe);
  EXPECT_EQ(image.texts.company, u"Caf\u00e90 \"Q\" \\ \U0001F600A");
  EXPECT_EQ(image.texts.product, u"Prod\u00fcct");
  EXPECT_EQ(image.texts.version, u"1.2.65535.40");
  EXPECT_EQ(image.texts.target_template, u"{HOME}\\x_{PID}");

  // The version resource holds the same texts and the numbers.
  const std::string rsrc = section_bytes(d / "My App.exe", ".rsrc");
  for (const std::u16string& text : {image.texts.company, image.texts.product, image.texts.version,
                                     std::u16string(u"My App.exe"), std::u16string(u"My App")})
    EXPECT_NE(rsrc.find(utf16le(text) + std::string(2, '\0')), std::string::npos)
        << "missing from the version resource";
  const std::string fixed = std::string("\xBD\x04\xEF\xFE", 4) + std::string("\0\0\1\0", 4);
  const size_t at = rsrc.find(fixed);
  ASSERT_NE(at, std::string::npos) << "no VS_FIXEDFILEINFO";
  EXPECT_EQ(rsrc.substr(at + 8, 16), std::string("\x02\0\x01\0\x28\0\xFF\xFF\x02\0\x01\0\x28\0\xFF\xFF", 16));
  EXPECT_NE(rsrc.find("requestedExecutionLevel"), std::string::npos) << "no manifest";
  EXPECT_NE(rsrc.find("\x89PNG"), std::string::npos) << "no 256-pixel icon";
}

// What a publisher fills beyond company and product: the description, the
// copyright and the manifest's execution level, read back by list; the same
// rules in build and check, and asInvoker with the product as description
// when none is given.
TEST(BuildCli, DescriptionCopyrightAndExecutionLevel) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  const std::string dll = tarven_test::test_dll("app.dll").string();
  ASSERT_EQ(build_exe(d / "plain.exe", {dll, "--level", "3", "--product", "Plain"}).code, 0);
  const auto plain = run_packer({"list", (d / "plain.exe").string()});
  EXPECT_NE(plain.out.find("description: Plain\ncopyright: \n"), std::string::npos) << plain.out;
  EXPECT_NE(plain.out.find("execution level: asInvoker\n"), std::string::npos) << plain.out;
  EXPECT_EQ(section_bytes(d / "plain.exe", ".rsrc").find(utf16le(u"LegalCopyright")), std::string::npos);

  const auto r = build_exe(d / "pub.exe", {dll, "--level", "3", "--description", "Converts \"things\" \xC3\xA0 la carte",
                                           "--copyright", "\xC2\xA9 2026 Acme", "--execution-level", "requireAdministrator"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto listed = run_packer({"list", (d / "pub.exe").string()});
  ASSERT_EQ(listed.code, 0) << listed.err;
  EXPECT_NE(listed.out.find("description: Converts \"things\" \xC3\xA0 la carte\ncopyright: \xC2\xA9 2026 Acme\n"),
            std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("execution level: requireAdministrator\n"), std::string::npos) << listed.out;
  const std::string rsrc = section_bytes(d / "pub.exe", ".rsrc");
  EXPECT_NE(rsrc.find("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>"), std::string::npos);
  EXPECT_EQ(run_packer({"verify", (d / "pub.exe").string()}).code, 0);

  const std::string long_text(70000, 'x');
  for (const std::string command : {"build", "check"}) {
    std::vector<std::string> base = {command};
    if (command == "build") base = {"build", "-o", (d / "bad.exe").string(), dll};
    auto with = [&](std::vector<std::string> extra) {
      std::vector<std::string> args = base;
      args.insert(args.end(), extra.begin(), extra.end());
      return run_packer(args);
    };
    expect_one_line_refusal(with({"--execution-level", "admin"}),
                            "--execution-level 'admin': must be asInvoker, highestAvailable or requireAdministrator");
    expect_one_line_refusal(with({"--copyright", "\xFF"}), "--copyright: the text is not valid UTF-8");
    expect_one_line_refusal(with({"--description", long_text}), "must fit in 64 KiB");
  }
  EXPECT_EQ(run_packer({"check", "--description", "d", "--copyright", "c", "--execution-level", "highestAvailable"}).code, 0);
  EXPECT_FALSE(fs::exists(d / "bad.exe"));
}

// SRC=DEST places an input inside the folder; the name rules and the case
// rule of clashes hold for the placed names, and a file whose own name holds
// '=' still packs under it.
TEST(BuildCli, InputsArePlacedWhereSrcEqualsDestSays) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  const std::string dll = tarven_test::test_dll("app.dll").string();
  write_file(d / "build/Release/assets/img/a.png", "png");
  write_file(d / "licenses/zlib.txt", "zlib");
  write_file(d / "licenses/Zlib2.txt", "other");
  write_file(d / "k=v.txt", "kv");
  const auto r = build_exe(d / "placed.exe", {dll, "--level", "3", (d / "build/Release/assets").string() + "=share/assets",
                                              (d / "licenses/zlib.txt").string() + "=doc\\zlib.txt",
                                              (d / "k=v.txt").string()});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto listed = run_packer({"list", (d / "placed.exe").string()});
  for (const char* line : {"             4  doc\\zlib.txt\n", "             2  k=v.txt\n",
                           "             3  share\\assets\\img\\a.png\n"})
    EXPECT_NE(listed.out.find(line), std::string::npos) << line << listed.out;

  const std::string zlib = (d / "licenses/zlib.txt").string(), other = (d / "licenses/Zlib2.txt").string();
  expect_one_line_refusal(build_exe(d / "o.exe", {dll, zlib + "=doc/z.txt", other + "=DOC/Z.TXT"}), "is the same name on Windows as");
  expect_one_line_refusal(build_exe(d / "o.exe", {dll, zlib + "=doc/con.txt"}), "uses the Windows device name 'con.txt'");
  expect_one_line_refusal(build_exe(d / "o.exe", {dll, zlib + "=doc/"}), "has an empty component");
  expect_one_line_refusal(build_exe(d / "o.exe", {dll, zlib + "=../x.txt"}), "has a '..' component");
  expect_one_line_refusal(build_exe(d / "o.exe", {dll, zlib + "="}), "SRC=DEST needs a file or folder before '='");
  expect_one_line_refusal(build_exe(d / "o.exe", {dll, (d / "nothing.txt").string() + "=x.txt"}),
                          "nothing.txt: does not exist");
  EXPECT_FALSE(fs::exists(d / "o.exe"));
}

// What a newcomer meets: -o naming a folder writes into it, a PNG given as
// the icon says how to make an .ico, extract counts the files' bytes, and
// verify names bytes appended after the image as such.
TEST(BuildCli, MistakesSayWhatWasFoundAndWhatToGive) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  const std::string dll = tarven_test::test_dll("app.dll").string();
  fs::create_directories(d / "outdir");
  const auto into = run_packer({"build", "-o", (d / "outdir").string(), dll, "--level", "3"});
  ASSERT_EQ(into.code, 0) << into.err;
  EXPECT_TRUE(fs::exists(d / "outdir/app.exe"));
  EXPECT_FALSE(fs::exists(d / "outdir.exe"));
  EXPECT_NE(into.err.find("wrote " + (d / "outdir/app.exe").string() + ": "), std::string::npos) << into.err;
  expect_one_line_refusal(run_packer({"build", "-o", (d / "newdir/").string(), dll}),
                          "newdir/: is not a file name: give -o OUT.exe, or an existing folder");

  write_file(d / "app.png", std::string("\x89PNG\r\n\x1A\n", 8) + std::string(40, '\0'));
  expect_one_line_refusal(build_exe(d / "o.exe", {dll, "--icon", (d / "app.png").string()}),
                          "app.png: is not an .ico file: it is a PNG image; --icon needs an .ico");

  const auto extracted = run_packer({"extract", (d / "outdir/app.exe").string(), (d / "x").string()});
  EXPECT_NE(extracted.err.find("extracted 1 entry (" + std::to_string(fs::file_size(dll)) + " bytes of files)"),
            std::string::npos) << extracted.err;

  write_file(d / "appended.exe", read_file(d / "outdir/app.exe") + "tail!");
  const auto verified = run_packer({"verify", (d / "appended.exe").string()});
  EXPECT_EQ(verified.code, 1);
  EXPECT_NE(verified.err.find("appended.exe: 5 bytes follow the end of its image at byte " +
                              std::to_string(fs::file_size(d / "outdir/app.exe"))),
            std::string::npos) << verified.err;
}

TEST(BuildCli, RawPayloadIsEmbeddedVerbatim) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  const std::string raw = "not a payload at all \x01\x02 whatever bytes";
  write_file(d / "raw.bin", raw);
  const auto r = build_exe(d / "raw.exe", {"--raw-payload", (d / "raw.bin").string()});
  ASSERT_EQ(r.code, 0) << r.err;
  InputFile exe(d / "raw.exe");
  const LauncherImage image = read_launcher_image(exe);
  ASSERT_EQ(image.payload_size, raw.size());
  std::string stored(raw.size(), '\0');
  exe.read_at(image.payload_offset, stored.data(), stored.size());
  EXPECT_EQ(stored, raw);
  EXPECT_EQ(image.texts.product, u"raw");
  expect_one_line_refusal(build_exe(d / "x.exe", {"--raw-payload", (d / "raw.bin").string(),
                                                            tarven_test::test_dll("app.dll").string()}),
                          "--raw-payload replaces ENTRY.dll");
}

TEST(BuildCli, RefusesBadOptionsWithOneLine) {
  ScratchDir d;
  const std::string dll = (d / "app.dll").string();
  write_file(dll, "MZ");
  auto build = [&](std::vector<std::string> extra) {
    std::vector<std::string> args{"build", "-o", (d / "o.exe").string(), dll};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_packer(args);
  };
  for (const char* level : {"0", "23", "abc", "-1", "1.5", ""})
    expect_one_line_refusal(build({"--level", level}), "--level '" + std::string(level) + "': must be a number 1..22");
  for (const char* threads : {"0", "257", "x", ""})
    expect_one_line_refusal(build({"--threads", threads}), "--threads '" + std::string(threads) + "': must be a number 1..256");
  expect_one_line_refusal(build({"--version", "1.2.3"}), "--version '1.2.3'");
  expect_one_line_refusal(build({"--version", "1.2.3.70000"}), "at most 65535");
  expect_one_line_refusal(build({"--target-template", "{TEMP}"}), "last component is only {TEMP}");
  expect_one_line_refusal(build({"--target-template", "x_{PID}"}), "must start with");
  expect_one_line_refusal(build({"--target-template", "{TEMP}\\{WHO}"}), "no variable {WHO}");
  expect_one_line_refusal(build({"--frobnicate"}), "unknown option --frobnicate");
  expect_one_line_refusal(build({"--level"}), "--level needs a value");
  expect_one_line_refusal(run_packer({"build", dll}), "-o OUT.exe is required");
  expect_one_line_refusal(run_packer({"build", "-o", (d / "o.exe").string()}), "ENTRY.dll is required");
  expect_one_line_refusal(run_packer({"build", "-o", (d / "no/such/o.exe").string(), dll}),
                          "its folder does not exist");
  expect_one_line_refusal(build({"--company", "\xFF"}), "--company: the text is not valid UTF-8");
  write_file(d / "bad.ico", "GIF89a");
  expect_one_line_refusal(build({"--icon", (d / "bad.ico").string()}), "bad.ico: is not an .ico file");
  EXPECT_FALSE(fs::exists(d / "o.exe"));
}

// The packer is the whole kit: a copy alone in a folder writes executables
// with no compiler, linker or resource tool to be found.
TEST(BuildCli, NeedsNothingButItself) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  fs::create_directories(d / "alone");
  fs::copy_file(TARVEN_PACK_EXE, d / "alone/tarven-pack");
  fs::permissions(d / "alone/tarven-pack", fs::perms::owner_all);
  const std::string out = (d / "o.exe").string();
  const auto r = tarven_test::run_packer_at(d / "alone/tarven-pack", {"build", "-o", out, tarven_test::test_dll("app.dll").string()},
                                            {{"PATH", (d / "alone").string()}, {"TARVEN_TOOLCHAIN", "no-such-"}});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(run_packer({"verify", out}).code, 0);
  expect_one_line_refusal(run_packer({"build", "-o", out, tarven_test::test_dll("app.dll").string(), "--kit", "k"}),
                          "unknown option --kit");
}

TEST(BuildCli, WarnsWhenTheTargetFolderWouldBeShared) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  const auto r = build_exe(d / "o.exe", {tarven_test::test_dll("app.dll").string(),
                                                   "--target-template", "{CACHE_DIR}\\{PRODUCT}"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("warning: target template"), std::string::npos) << r.err;
  EXPECT_EQ(line_count(r.err), 2u) << r.err;
}

// Interrupted while packing, a build leaves the previous output as it was and
// no temporary file beside it.
TEST(BuildCli, InterruptedBuildLeavesTheOldOutputAlone) {
  TARVEN_REQUIRE_MINGW();
  ScratchDir d;
  write_file(d / "in/big.bin", tarven_test::sample_bytes(48 << 20, 7));
  fs::create_directories(d / "out");
  write_file(d / "out/app.exe", "previous build");
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    ::execl(TARVEN_PACK_EXE, TARVEN_PACK_EXE, "build", "-o", (d / "out/app.exe").c_str(),
            tarven_test::test_dll("app.dll").c_str(), (d / "in/big.bin").c_str(), "--level", "19", "--threads", "1",
            static_cast<char*>(nullptr));
    _exit(126);
  }
  // Once the executable is being written under its temporary name, interrupt.
  auto temp_present = [&] {
    for (const auto& e : fs::directory_iterator(d / "out"))
      if (e.path().filename() != "app.exe") return true;
    return false;
  };
  for (int i = 0; i < 2000 && !temp_present(); ++i) ::usleep(5000);
  ASSERT_TRUE(temp_present()) << "the build never started writing";
  ::kill(pid, SIGINT);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
  EXPECT_EQ(read_file(d / "out/app.exe"), "previous build");
  EXPECT_FALSE(temp_present()) << "a temporary file was left beside the output";
}

}  // namespace
}  // namespace tarven
