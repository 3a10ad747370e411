// The name rules shared by build and verify: every refusal class, the length
// boundary in UTF-16 units, and names Windows would take for one another.
#include <gtest/gtest.h>

#include "pack/case_fold.h"
#include "pack/names.h"
#include "host/utf.h"

namespace tarven {
namespace {

std::u16string u16(const char* utf8) { return *utf8_to_utf16(utf8); }

TEST(Names, AcceptsOrdinaryNames) {
  for (const char* ok : {"app.dll", "lib\\python3.dll", "a b\\c d.txt", ".hidden", "x..y",
                         "\xC3\xA9t\xC3\xA9\\\xF0\x9F\x98\x80.txt", "CONSOLE.txt", "com0", "lpt10"})
    EXPECT_EQ(name_problem(u16(ok)), "") << ok;
}

TEST(Names, RefusesEachClass) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "empty"},
      {"\\abs", "absolute"},
      {"/abs", "absolute"},
      {"C:\\x", "drive-qualified"},
      {"c:x", "drive-qualified"},
      {"a\\\\b", "empty component"},
      {"a\\", "empty component"},
      {"a\\.\\b", "'.' component"},
      {"..\\b", "'..' component"},
      {"a\\..", "'..' component"},
      {"a<b", "'<'"}, {"a>b", "'>'"}, {"ab:c", "':'"}, {"a\"b", "'\"'"},
      {"a|b", "'|'"}, {"a?b", "'?'"}, {"a*b", "'*'"},
      {"a/b", "'/'"},
      {"a\x01" "b", "control character 0x01"},
      {"a\x1F", "control character 0x1F"},
      {"dir.\\b", "ending in a dot"},
      {"b ", "ending in a space"},
      {"nul", "device name"},
      {"x\\Com1.txt", "device name"},
  };
  for (const auto& [name, why] : cases) {
    const std::string problem = name_problem(u16(name));
    EXPECT_NE(problem.find(why), std::string::npos) << "'" << name << "' gave '" << problem << "'";
  }
  EXPECT_NE(name_problem(std::u16string(u"a\0b", 3)).find("0x00"), std::string::npos);
}

TEST(Names, LengthCountsUtf16UnitsWithNonBmpAsTwo) {
  EXPECT_EQ(name_problem(std::u16string(1023, u'a')), "");
  EXPECT_NE(name_problem(std::u16string(1024, u'a')).find("1024 UTF-16 units"), std::string::npos);
  // 511 emoji are 1022 units: one more BMP unit fits, one more emoji does not.
  std::string emoji;
  for (int i = 0; i < 511; ++i) emoji += "\xF0\x9F\x98\x80";
  EXPECT_EQ(u16(emoji.c_str()).size(), 1022u);
  EXPECT_EQ(name_problem(u16((emoji + "a").c_str())), "");
  EXPECT_NE(name_problem(u16((emoji + "\xF0\x9F\x98\x80").c_str())).find("1024"), std::string::npos);
}

TEST(Names, Utf8ConversionIsStrict) {
  EXPECT_EQ(*utf8_to_utf16("\xF0\x9F\x98\x80"), std::u16string(u"\xD83D\xDE00"));
  for (const char* bad : {"\xFF", "\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\x80"})
    EXPECT_FALSE(utf8_to_utf16(bad).has_value()) << "accepted an invalid sequence";
  EXPECT_EQ(utf16_to_utf8(u"\xD83D\xDE00-\xD800"), "\xF0\x9F\x98\x80-\xEF\xBF\xBD");
}

TEST(Names, CaseFoldingCoversCommonScripts) {
  const std::pair<const char*, const char*> same[] = {
      {"readme.TXT", "README.txt"},
      {"\xC3\xA9", "\xC3\x89"},             // é É
      {"\xC3\xBF", "\xC5\xB8"},             // ÿ Ÿ
      {"\xC5\x82", "\xC5\x81"},             // ł Ł (Latin Extended-A, odd upper)
      {"\xC4\x81", "\xC4\x80"},             // ā Ā (even upper)
      {"\xCF\x89", "\xCE\xA9"},             // ω Ω
      {"\xCF\x82", "\xCE\xA3"},             // final ς Σ
      {"\xD0\xB6", "\xD0\x96"},             // ж Ж
      {"\xD1\x91", "\xD0\x81"},             // ё Ё
      {"\xEF\xBD\x81", "\xEF\xBC\xA1"},     // fullwidth a A
  };
  for (const auto& [a, b] : same) EXPECT_EQ(fold_case(u16(a)), fold_case(u16(b))) << a << " " << b;
  EXPECT_NE(fold_case(u16("\xC3\x97")), fold_case(u16("\xC3\xB7")));  // × ÷ are not a pair
  EXPECT_NE(fold_case(u16("\xF0\x9F\x98\x80")), fold_case(u16("\xF0\x9F\x98\x81")));
}

TEST(Names, ClashesNameTheEarlierInput) {
  NameClashes clashes;
  EXPECT_EQ(clashes.add(u"app.dll", "in/app.dll"), "");
  EXPECT_EQ(clashes.add(u"data\\x.txt", "in/data/x.txt"), "");
  EXPECT_NE(clashes.add(u"APP.DLL", "other/APP.DLL").find("same name on Windows as in/app.dll"),
            std::string::npos);
  // A file where a folder is needed, in both orders.
  EXPECT_NE(clashes.add(u"DATA", "in/DATA").find("needed as a folder by in/data/x.txt"),
            std::string::npos);
  EXPECT_EQ(clashes.add(u"a", "in/a"), "");
  EXPECT_NE(clashes.add(u"A\\b", "in/A/b").find("needs the file in/a as a folder"), std::string::npos);
  // Prefixes are whole components: "data2" is not inside "data".
  EXPECT_EQ(clashes.add(u"data2\\y", "in/data2/y"), "");
  EXPECT_EQ(clashes.add(u"Data\\y", "in/Data/y"), "");
}

// Names in the folder of the name added just before skip the folder checks:
// the clashes they would find are still found.
TEST(Names, ClashesInTheSameFolderAsTheLastName) {
  NameClashes clashes;
  EXPECT_EQ(clashes.add(u"d\\e\\a.txt", "in/d/e/a.txt"), "");
  EXPECT_EQ(clashes.add(u"d\\e\\b.txt", "in/d/e/b.txt"), "");
  EXPECT_NE(clashes.add(u"D\\E\\A.TXT", "in/D/E/A.TXT").find("same name on Windows as in/d/e/a.txt"),
            std::string::npos);
  EXPECT_NE(clashes.add(u"d\\E", "in/d/E").find("needed as a folder by in/d/e/a.txt"), std::string::npos);
  EXPECT_NE(clashes.add(u"d\\e\\b.txt\\c", "in/d/e/b.txt/c").find("needs the file in/d/e/b.txt as a folder"),
            std::string::npos);
  EXPECT_EQ(clashes.add(u"x", "in/x"), "");
  EXPECT_EQ(clashes.add(u"y\\z", "in/y/z"), "");
  EXPECT_NE(clashes.add(u"X\\w", "in/X/w").find("needs the file in/x as a folder"), std::string::npos);
  EXPECT_NE(clashes.add(u"Y", "in/Y").find("needed as a folder by in/y/z"), std::string::npos);
}

}  // namespace
}  // namespace tarven
