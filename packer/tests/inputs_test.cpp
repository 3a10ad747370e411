// Turning command-line inputs into payload entries: names like `cp -r`, the
// payload order, and refusals that name the offending input file.
#include <gtest/gtest.h>

#include <unistd.h>

#include "host/errors.h"
#include "pack/inputs.h"
#include "test_support.h"
#include "host/utf.h"

namespace tarven {
namespace {

namespace fs = std::filesystem;
using tarven_test::ScratchDir;
using tarven_test::write_file;

std::vector<std::string> names_of(const std::vector<PackEntry>& entries) {
  std::vector<std::string> names;
  for (const PackEntry& e : entries) names.push_back(utf16_to_utf8(e.name));
  return names;
}

std::string refusal(const fs::path& entry, const std::vector<fs::path>& inputs) {
  try {
    collect_inputs(entry, inputs);
  } catch (const Failure& f) {
    EXPECT_EQ(f.exit_code(), kExitUsage);
    EXPECT_EQ(std::string(f.what()).find('\n'), std::string::npos);
    return f.what();
  }
  return "";
}

TEST(Inputs, NamesFollowCpAndOrderIsEntryThenUtf16) {
  ScratchDir d;
  write_file(d / "bin/zz.dll", "MZ");
  write_file(d / "top.txt", "t");
  write_file(d / "tree/b.txt", "bb");
  write_file(d / "tree/A/x", "");
  fs::create_directories(d / "tree/empty/deeper");
  // UTF-16 order puts the surrogates of U+1F600 before U+FF21 (fullwidth A),
  // although the code point order is the other way round.
  write_file(d / "tree/\xF0\x9F\x98\x80", "e");
  write_file(d / "tree/\xEF\xBC\xA1", "f");
  const auto entries = collect_inputs(d / "bin/zz.dll", {d / "tree/", d / "top.txt"});
  EXPECT_EQ(names_of(entries),
            (std::vector<std::string>{"zz.dll", "top.txt", "tree\\A\\x", "tree\\b.txt",
                                      "tree\\\xF0\x9F\x98\x80", "tree\\\xEF\xBC\xA1"}));
  EXPECT_EQ(entries[0].size, 2u);
  EXPECT_EQ(entries[3].size, 2u);
  EXPECT_EQ(entries[3].source, d / "tree/b.txt");
}

TEST(Inputs, DotNamesTheFolderItself) {
  ScratchDir d;
  write_file(d / "proj/app.dll", "MZ");
  write_file(d / "proj/lib/x.py", "x");
  const fs::path old = fs::current_path();
  fs::current_path(d / "proj/lib");
  const auto entries = collect_inputs(d / "proj/app.dll", {"."});
  fs::current_path(old);
  EXPECT_EQ(names_of(entries), (std::vector<std::string>{"app.dll", "lib\\x.py"}));
}

TEST(Inputs, FollowsSymlinksButRefusesLoops) {
  ScratchDir d;
  write_file(d / "app.dll", "MZ");
  write_file(d / "real/data.bin", "1234");
  fs::create_directories(d / "tree");
  fs::create_symlink(d / "real/data.bin", d / "tree/link.bin");
  fs::create_directory_symlink(d / "real", d / "tree/linked");
  const auto entries = collect_inputs(d / "app.dll", {d / "tree"});
  EXPECT_EQ(names_of(entries),
            (std::vector<std::string>{"app.dll", "tree\\link.bin", "tree\\linked\\data.bin"}));
  EXPECT_EQ(entries[1].size, 4u);

  fs::create_directory_symlink(d / "tree", d / "tree/back");
  EXPECT_NE(refusal(d / "app.dll", {d / "tree"}).find("tree/back: symbolic link loop"), std::string::npos);
  fs::remove(d / "tree/back");
  fs::create_symlink(d / "tree/self", d / "tree/self");
  EXPECT_NE(refusal(d / "app.dll", {d / "tree"}).find("tree/self: symbolic link loop"), std::string::npos);
  fs::remove(d / "tree/self");
  fs::create_symlink(d / "gone", d / "tree/dangling");
  EXPECT_NE(refusal(d / "app.dll", {d / "tree"}).find("tree/dangling: is a broken symbolic link"),
            std::string::npos);
}

TEST(Inputs, RefusalsNameTheInputFile) {
  ScratchDir d;
  write_file(d / "app.dll", "MZ");
  write_file(d / "t1/App.DLL", "");
  EXPECT_EQ(refusal(d / "app.dll", {d / "t1/App.DLL"}),
            (d / "t1/App.DLL").string() + ": its payload name 'App.DLL' is the same name on Windows as " +
                (d / "app.dll").string());
  write_file(d / "t2/a/b", "");
  write_file(d / "t2/A", "");  // a file named like a folder of the first one, via another input
  EXPECT_NE(refusal(d / "app.dll", {d / "t2/a", d / "t2/A"}).find("needs the file"), std::string::npos);
  write_file(d / "t3/bad:name", "");
  EXPECT_NE(refusal(d / "app.dll", {d / "t3"}).find("t3/bad:name: its payload name 't3\\bad:name' holds the character ':'"),
            std::string::npos);
  write_file(d / "t4/back\\slash", "");
  EXPECT_NE(refusal(d / "app.dll", {d / "t4"}).find("holds a backslash"), std::string::npos);
  write_file(d / "t5/\xC3(", "");
  EXPECT_NE(refusal(d / "app.dll", {d / "t5"}).find("not valid UTF-8"), std::string::npos);
  write_file(d / "t6/trailing.", "");
  EXPECT_NE(refusal(d / "app.dll", {d / "t6"}).find("ending in a dot"), std::string::npos);
  EXPECT_NE(refusal(d / "app.dll", {d / "nothing"}).find("nothing: does not exist"), std::string::npos);
  EXPECT_NE(refusal(d / "t1", {}).find("must be a DLL file"), std::string::npos);
  ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0);
  EXPECT_NE(refusal(d / "app.dll", {d / "fifo"}).find("neither a file nor a folder"), std::string::npos);
}

TEST(Inputs, LengthLimitIncludesTheFolderPrefix) {
  ScratchDir d;
  write_file(d / "app.dll", "MZ");
  // "t\" + three components of 255 units and their separators is 770 units.
  const std::string c(255, 'c');
  write_file(d / "t" / c / c / c / std::string(252, 'c'), "");
  EXPECT_EQ(refusal(d / "app.dll", {d / "t"}), "");  // 2 + 255*3 + 3 + 252 = 1022
  fs::remove_all(d / "t");
  write_file(d / "t" / c / c / c / std::string(253, 'c'), "");
  EXPECT_EQ(refusal(d / "app.dll", {d / "t"}), "");  // 1023
  fs::remove_all(d / "t");
  write_file(d / "t" / c / c / c / std::string(254, 'c'), "");
  EXPECT_NE(refusal(d / "app.dll", {d / "t"}).find("1024 UTF-16 units"), std::string::npos);
}

}  // namespace
}  // namespace tarven
