// Environment access: names of 39 and 40 characters, empty and long values.
#include <gtest/gtest.h>

#include <string>

#include "paths/environment.h"
#include "launcher/tests/support/seam.h"

namespace {

class EnvironmentTest : public SeamTest {};

TEST_F(EnvironmentTest, EnvironmentNamesOf39And40Characters) {
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

TEST_F(EnvironmentTest, EmptyAndLongestValues) {
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

}  // namespace
