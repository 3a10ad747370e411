// Bounded copies and appends at their limits.
#include <gtest/gtest.h>

#include <string>

#include "paths/bounded.h"
#include "launcher/tests/support/seam.h"

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

}  // namespace
