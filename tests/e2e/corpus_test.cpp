// The corpus of damaged stored payloads (tests/corpus), each packed into an
// executable and run under Wine: every run ends as the corpus's manifest says
// (exit code, the exact text on each stream), in time, and writes nothing but
// its own target folder. A failing run may leave that folder, as a failure
// does on a user's machine; a run that reaches the application leaves none.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/e2e/launch.h"
#include "tests/support/files.h"

namespace {

struct Expectation {
    std::string name;
    std::string arguments;
    unsigned long exit_code = 0;
    std::string standard_output;  // without its line feed; '*' stands for any text
    std::string standard_error;
};

// Test names and failure messages show the payload's name.
void PrintTo(const Expectation &expectation, std::ostream *out) { *out << expectation.name; }

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator) parts.emplace_back();
        else if (c != '\r') parts.back() += c;
    }
    return parts;
}

std::vector<Expectation> read_manifest() {
    std::vector<Expectation> rows;
    for (const std::string &line : split(read_file(std::string("Z:") + TARVEN_CORPUS_MANIFEST), '\n')) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields = split(line, '\t');
        if (fields.size() != 6) {
            ADD_FAILURE() << "a manifest line without six fields: " << line;
            continue;
        }
        rows.push_back({fields[0], fields[2], std::stoul(fields[3]), fields[4], fields[5]});
    }
    return rows;
}

// '*' in the pattern matches any run of characters, none included.
bool matches(const char *pattern, const char *text) {
    if (*pattern == 0) return *text == 0;
    if (*pattern == '*') return matches(pattern + 1, text) || (*text != 0 && matches(pattern, text + 1));
    return *text == *pattern && matches(pattern + 1, text + 1);
}

bool stream_matches(const std::string &expected, const std::string &seen) {
    return expected.empty() ? seen.empty() : matches((expected + "\n").c_str(), seen.c_str());
}

class CorpusTest : public ::testing::TestWithParam<Expectation> {};

TEST_P(CorpusTest, EndsAsTheManifestSays) {
    const Expectation &expected = GetParam();
    std::wstring root = scratch_folder(widen("corpus-" + expected.name));
    std::wstring temp = root + L"\\temp", current = root + L"\\current";
    CreateDirectoryW(temp.c_str(), nullptr);
    CreateDirectoryW(current.c_str(), nullptr);
    std::wstring exe = packed(L"corpus\\" + widen(expected.name) + L".exe");
    std::wstring exe_folder = exe.substr(0, exe.rfind(L'\\'));
    size_t beside_before = list_folder(exe_folder).size();

    Finished run = run_program(exe, L"\"" + exe + L"\" " + widen(expected.arguments),
                               {{L"TEMP", temp}, {L"TMP", temp}}, 60000, current);
    EXPECT_EQ(run.exit_code, expected.exit_code);
    EXPECT_TRUE(stream_matches(expected.standard_output, run.standard_output)) << run.standard_output;
    EXPECT_TRUE(stream_matches(expected.standard_error, run.standard_error)) << run.standard_error;

    // Nothing beside the executable, nothing in the current folder; in the
    // temporary folder at most the run's own target folder, named for its parent.
    EXPECT_EQ(list_folder(exe_folder).size(), beside_before);
    EXPECT_TRUE(list_folder(current).empty());
    std::vector<std::wstring> left = list_folder(temp);
    if (expected.exit_code != 2) {
        EXPECT_TRUE(left.empty()) << narrow(left.empty() ? L"" : left[0]);
        return;
    }
    ASSERT_LE(left.size(), 1u);
    if (!left.empty()) {
        EXPECT_EQ(left[0].rfind(L"onefile_" + std::to_wstring(run.process_id) + L"_", 0), 0u) << narrow(left[0]);
    }
}

INSTANTIATE_TEST_SUITE_P(Payloads, CorpusTest, ::testing::ValuesIn(read_manifest()),
                         [](const ::testing::TestParamInfo<Expectation> &info) { return info.param.name; });

}  // namespace
