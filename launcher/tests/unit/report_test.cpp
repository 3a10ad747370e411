// The failure reports: each line, its stream and its ending.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "unpack/report.h"
#include "launcher/tests/support/seam.h"

namespace {

class ReportTest : public SeamTest {};

DWORD WINAPI english_text(DWORD, LPCVOID, DWORD code, DWORD language, LPSTR buffer, DWORD, va_list *) {
    EXPECT_EQ(language, 1033u);
    static char text[] = "Access is denied.\r\n\r\n";
    *reinterpret_cast<char **>(buffer) = code == 5 ? text : nullptr;
    return code == 5 ? static_cast<DWORD>(strlen(text)) : 0;
}

TEST_F(ReportTest, ReportLinesAndStreams) {
    Outcome outcome = capture([] { report_fatal("Error, couldn't decode attached data."); });
    EXPECT_EQ(outcome.ending, Ending::exited);
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.standard_output, "Error, couldn't decode attached data.\n");

    sys.FormatMessageA = english_text;
    outcome = capture([] { report_fatal_with_code("Error, load DLL.", 5); });
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.standard_output, "");
    EXPECT_EQ(outcome.standard_error, "Error, load DLL. ([Error 5] Access is denied.)\n");
    // No English text for the code: the line keeps its shape.
    outcome = capture([] { report_fatal_with_code("Error, couldn't launch child", -1073741819); });
    EXPECT_EQ(outcome.standard_error, "Error, couldn't launch child ([Error -1073741819] unknown error)\n");

    outcome = capture([] { report_open_failure(L"C:\\t\\dir\\file.txt"); });
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.standard_error, "Error, failed to open 'C:\\t\\dir\\file.txt' for writing.\n");

    outcome = capture([] { report_expansion_failure(L"{HOME}"); });
    EXPECT_EQ(outcome.ending, Ending::aborted);
    EXPECT_EQ(outcome.standard_error, "Error, couldn't runtime expand spec '{HOME}'.\n");
}

}  // namespace
