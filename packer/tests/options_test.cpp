// Checks on --target-template and --version: what the launcher could not
// expand, and templates whose folder the launcher would delete unsafely.
#include <gtest/gtest.h>

#include "host/errors.h"
#include "commands/target_template.h"
#include "commands/version_text.h"

namespace tarven {
namespace {

// The refusal line for `text`, or "" when accepted.
std::string template_refusal(const std::string& text) {
  try {
    check_target_template(text);
  } catch (const Failure& f) {
    EXPECT_EQ(f.exit_code(), kExitUsage);
    return f.what();
  }
  return "";
}

TEST(TargetTemplate, AcceptsSafeTemplates) {
  for (const char* ok : {kDefaultTargetTemplate, "{temp}\\app_{pid}", "{HOME}\\.cache\\{PRODUCT}\\{TIME}",
                         "{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\{VERSION}_{RANDOM}",
                         "C:\\apps\\x_{PID}",
                         "\\\\server\\share\\x_{RANDOM}", "{TEMP}/fwd_{PID}",
                         "{TEMP}\\{FILE_VERSION}-{PRODUCT_VERSION}-{PID}"})
    EXPECT_EQ(template_refusal(ok), "") << ok;
}

TEST(TargetTemplate, RefusesWhatDoesNotParse) {
  EXPECT_NE(template_refusal("{TEMP}\\a}b").find("'}' at position 9 has no '{'"), std::string::npos);
  EXPECT_NE(template_refusal("{TEMP}\\a{PID").find("not closed"), std::string::npos);
  EXPECT_NE(template_refusal("{TEMP}\\a{P{ID}").find("not closed"), std::string::npos);
  EXPECT_NE(template_refusal("{TEMP}\\a{}").find("'{}' names no variable"), std::string::npos);
  EXPECT_NE(template_refusal("{TEMP}\\{USER}").find("no variable {USER}"), std::string::npos);
  EXPECT_NE(template_refusal("{TEMP}\\\xFF").find("UTF-8"), std::string::npos);
}

TEST(TargetTemplate, RefusesFoldersTheLauncherMustNotDelete) {
  for (const char* only : {"{TEMP}", "{TEMP}\\{HOME}", "C:\\x\\{CACHE_DIR}"})
    EXPECT_NE(template_refusal(only).find("last component is only"), std::string::npos) << only;
  for (const char* empty : {"{TEMP}\\", "C:\\", "{TEMP}\\x\\"})
    EXPECT_NE(template_refusal(empty).find("last component is empty"), std::string::npos) << empty;
  for (const char* share : {"\\\\server\\share", "\\\\server\\x_{PID}"})
    EXPECT_NE(template_refusal(share).find("names only a root folder"), std::string::npos) << share;
  for (const char* rootless : {"onefile_{PID}", "{PRODUCT}\\x_{PID}", "{TEMP}x\\{PID}", "C:x_{PID}",
                               "\\x_{PID}"})
    EXPECT_NE(template_refusal(rootless).find("must start with {TEMP}"), std::string::npos) << rootless;
  EXPECT_NE(template_refusal("{TEMP}\\x\\..").find("'..' component"), std::string::npos);
  EXPECT_NE(template_refusal("{TEMP}\\a:b_{PID}").find("refuses"), std::string::npos);
  EXPECT_NE(template_refusal("{TEMP}\\C:\\x_{PID}").find("refuses"), std::string::npos);
  // Names Windows cannot create, as for the payload's names.
  for (const char* device : {"{TEMP}\\CON", "{TEMP}\\nul.{PID}", "{TEMP}\\com1\\x_{PID}", "{TEMP}\\x\\LPT9.txt_{PID}"})
    EXPECT_NE(template_refusal(device).find("Windows device name"), std::string::npos) << device;
  EXPECT_NE(template_refusal("{TEMP}\\x_{PID}.").find("ends in a dot"), std::string::npos);
  EXPECT_NE(template_refusal("{TEMP}\\x_{PID} ").find("ends in a space"), std::string::npos);
  EXPECT_EQ(template_refusal("{TEMP}\\CONSOLE_{PID}"), "");
}

// The launcher and its child must expand a template to one folder however
// the program was started; the program's own name differs between the two
// (seen: a second drive inside the folder name, "Error, load DLL." from a shell).
TEST(TargetTemplate, RefusesTheProgramAsStarted) {
  for (const char* started : {"{PROGRAM_DIR}\\x_{PID}", "{TEMP}\\{PROGRAM}_{PID}", "{TEMP}\\{program_base}_{PID}",
                              "{HOME}\\{PROGRAM_DIR}", "{TEMP}\\{PROGRAM}"})
    EXPECT_NE(template_refusal(started).find("is the program as it was started"), std::string::npos) << started;
}

TEST(TargetTemplate, WarnsWhenTwoRunsWouldShareTheFolder) {
  EXPECT_TRUE(check_target_template("{TEMP}\\x_{PID}").empty());
  EXPECT_TRUE(check_target_template("{TEMP}\\x_{time}").empty());
  const auto warnings = check_target_template("{CACHE_DIR}\\{PRODUCT}");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("none of {PID}, {RANDOM}, {TIME_US}, {TIME}"), std::string::npos);
}

// The cached mode's folder is found again by later starts and has the other
// versions' folders beside it, which the launcher removes.
TEST(TargetTemplate, CachedModeNeedsAProductFolderNamedByThePayloadId) {
  auto cached_refusal = [](const std::string& text) {
    try {
      check_target_template(text, true);
    } catch (const Failure& f) {
      return std::string(f.what());
    }
    return std::string();
  };
  EXPECT_EQ(cached_refusal(default_target_template(true, u"")), "");
  EXPECT_EQ(cached_refusal(default_target_template(true, u"Acme")), "");
  EXPECT_EQ(cached_refusal("D:\\apps\\{PRODUCT}-cache\\{payload_id}"), "");
  EXPECT_NE(cached_refusal("{CACHE_DIR}\\{PRODUCT}\\v_{PAYLOAD_ID}").find("last component must be {PAYLOAD_ID}"),
            std::string::npos);
  EXPECT_NE(cached_refusal("{CACHE_DIR}\\{PRODUCT}_{PID}\\{PAYLOAD_ID}").find("none of {PID}"), std::string::npos);
  EXPECT_NE(cached_refusal("{CACHE_DIR}\\{PAYLOAD_ID}").find("must hold {PRODUCT}"), std::string::npos);
  EXPECT_NE(cached_refusal("{CACHE_DIR}\\{COMPANY}\\{PAYLOAD_ID}").find("must hold {PRODUCT}"), std::string::npos);
  EXPECT_EQ(template_refusal("{TEMP}\\x_{PAYLOAD_ID}_{PID}"), "");  // a variable in any mode
}

// {PRODUCT} or {COMPANY} standing for a whole component must not make it
// empty or '..' (the launcher would delete the folder above), nor add levels.
TEST(TargetTemplate, RefusesTextsThatWouldMoveTheFolder) {
  auto refusal = [](const char* tmpl, const std::u16string& company, const std::u16string& product) {
    try {
      check_template_texts(tmpl, company, product);
    } catch (const Failure& f) {
      EXPECT_EQ(f.exit_code(), kExitUsage);
      return std::string(f.what());
    }
    return std::string();
  };
  EXPECT_EQ(refusal("{CACHE_DIR}\\{COMPANY}\\{PRODUCT}", u"ACME", u"Tool"), "");
  EXPECT_EQ(refusal("{TEMP}\\x{COMPANY}_{PID}", u"", u""), "");  // not a whole component
  EXPECT_EQ(refusal("{TEMP}\\x_{PID}", u"a\\b", u".."), "");     // not used at all
  EXPECT_NE(refusal("{CACHE_DIR}\\{PRODUCT}", u"", u"").find("--product '': the target template's component {PRODUCT} would become ''"),
            std::string::npos);
  EXPECT_NE(refusal("{CACHE_DIR}\\{company}\\x", u"..", u"p").find("--company '..'"), std::string::npos);
  EXPECT_NE(refusal("{TEMP}\\p_{PRODUCT}", u"", u"a\\..\\..").find("holds a folder separator"),
            std::string::npos);
  EXPECT_NE(refusal("{TEMP}\\p_{PRODUCT}", u"", u"a/b").find("holds a folder separator"), std::string::npos);
  EXPECT_NE(refusal("{TEMP}\\{COMPANY}_{PID}", u"C:x", u"").find("--company 'C:x': holds a character Windows refuses"),
            std::string::npos);
}

TEST(Version, ParsesFourNumbersUpTo65535) {
  EXPECT_EQ(parse_version("1.2.3.4"), (std::array<uint16_t, 4>{1, 2, 3, 4}));
  EXPECT_EQ(parse_version("65535.0.00.65535"), (std::array<uint16_t, 4>{65535, 0, 0, 65535}));
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.", ".1.2.3", "1..2.3", "1.2.3.65536",
                          "1.2.3.999999999", "a.b.c.d", "1.2.3.4 ", "-1.2.3.4", "+1.2.3.4"}) {
    try {
      parse_version(bad);
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const Failure& f) {
      EXPECT_EQ(f.exit_code(), kExitUsage);
      EXPECT_NE(std::string(f.what()).find("--version '" + std::string(bad) + "'"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace tarven
