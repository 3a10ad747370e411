// Bounded copies and environment names at their limits, and the failure reports' lines.
#include <gtest/gtest.h>

#include <string>

#include "unpack/report.h"
#include "unpack/state.h"
#include "paths/bounded.h"
#include "paths/environment.h"
#include "tests/support/seam.h"

namespace {

class BoundedTest : public SeamTest {};

Ending copy_ending(const std::wstring &source, size_t capacity, std::wstring *result = nullptr) {
    std::wstring buffer(capacity + 4, L'#');
    Outcome outcome = capture([&] { copy_wide_bounded(buffer.data(), source.c_str(), capacity); });
    // Nothing may be written past the capacity, abort or not.
    EXPECT_EQ(buffer.substr(capacity), L"####");
    if (result != nullptr) *result = buffer.c_str();
    return outcome.ending;
}

TEST_F(BoundedTest, CopyAtCapacityMinusOneCapacityAndBeyond) {
    std::wstring result;
    EXPECT_EQ(copy_ending(std::wstring(9, L'a'), 10, &result), Ending::returned);
    EXPECT_EQ(result, std::wstring(9, L'a'));
    EXPECT_EQ(copy_ending(std::wstring(10, L'a'), 10), Ending::aborted);
    EXPECT_EQ(copy_ending(std::wstring(11, L'a'), 10), Ending::aborted);
    EXPECT_EQ(copy_ending(L"", 1, &result), Ending::returned);
    EXPECT_EQ(copy_ending(L"", 0), Ending::aborted);
}

TEST_F(BoundedTest, CopyRemovesAPrefixInPlace) {
    wchar_t text[16] = L"\\\\?\\C:\\x.exe";
    copy_wide_bounded(text, text + 4, 16);
    EXPECT_STREQ(text, L"C:\\x.exe");
}

TEST_F(BoundedTest, AppendAtTheRoomLeft) {
    std::wstring buffer(12, L'#');
    wcscpy(buffer.data(), L"abcde");
    EXPECT_EQ(capture([&] { append_wide_bounded(buffer.data(), L"fghi", 10); }).ending, Ending::returned);
    EXPECT_STREQ(buffer.c_str(), L"abcdefghi");
    EXPECT_EQ(capture([&] { append_wide_bounded(buffer.data(), L"j", 10); }).ending, Ending::aborted);
    EXPECT_STREQ(buffer.c_str(), L"abcdefghi");
    EXPECT_EQ(buffer[10], L'#');
}

TEST_F(BoundedTest, EnvironmentNamesOf39And40Characters) {
    std::string name39(39, 'N');
    Outcome outcome = capture([&] {
        set_environment_value(name39.c_str(), L"value");
        wchar_t *value = get_environment_value(name39.c_str());
        EXPECT_STREQ(value, L"value");
        unset_environment_value(name39.c_str());
        EXPECT_EQ(get_environment_value(name39.c_str()), nullptr);
    });
    EXPECT_EQ(outcome.ending, Ending::returned);
    std::string name40(40, 'N');
    EXPECT_EQ(capture([&] { get_environment_value(name40.c_str()); }).ending, Ending::aborted);
    EXPECT_EQ(capture([&] { set_environment_value(name40.c_str(), L"x"); }).ending, Ending::aborted);
}

TEST_F(BoundedTest, EmptyAndLongestValues) {
    set_variable(L"TARVEN_TEST_VALUE", L"");
    EXPECT_EQ(get_environment_value("TARVEN_TEST_VALUE"), nullptr);
    std::wstring long_value(20000, L'v');
    set_variable(L"TARVEN_TEST_VALUE", long_value.c_str());
    wchar_t *value = get_environment_value("TARVEN_TEST_VALUE");
    ASSERT_NE(value, nullptr);
    EXPECT_TRUE(std::wstring(value) == long_value);
    set_variable(L"TARVEN_TEST_VALUE", nullptr);
    sys.malloc = [](size_t) -> void * { return nullptr; };
    set_variable(L"TARVEN_TEST_VALUE", L"x");
    EXPECT_EQ(capture([] { get_environment_value("TARVEN_TEST_VALUE"); }).ending, Ending::aborted);
    set_variable(L"TARVEN_TEST_VALUE", nullptr);
}

DWORD WINAPI english_text(DWORD, LPCVOID, DWORD code, DWORD language, LPSTR buffer, DWORD, va_list *) {
    EXPECT_EQ(language, 1033u);
    static char text[] = "Access is denied.\r\n\r\n";
    *reinterpret_cast<char **>(buffer) = code == 5 ? text : nullptr;
    return code == 5 ? static_cast<DWORD>(strlen(text)) : 0;
}

TEST_F(BoundedTest, ReportLinesAndStreams) {
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
