// The templates whose leftover folders a parent sweeps.
#include <gtest/gtest.h>

#include "removal/sweep.h"

namespace {

// Which templates take part: those whose last component ends with the three
// unique texts after a literal prefix; the folders other templates name may
// be shared with anything and are never swept.
TEST(KilledLauncher, TemplatesThatTakePartInTheSweep) {
    wchar_t prefix[64];
    EXPECT_STREQ(leftover_prefix(L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}", prefix, 64), L"onefile_");
    EXPECT_STREQ(leftover_prefix(L"{CACHE_DIR}\\ACME\\run-{pid}_{time_us}_{random}", prefix, 64), L"run-");
    for (const wchar_t *other : {L"{TEMP}\\{PID}_{TIME_US}_{RANDOM}", L"{TEMP}\\{PRODUCT}_{PID}_{TIME_US}_{RANDOM}",
                                 L"{TEMP}\\x_{PID}", L"{TEMP}\\x_{RANDOM}_{PID}_{TIME_US}", L"{TEMP}\\x*_{PID}_{TIME_US}_{RANDOM}"})
        EXPECT_EQ(leftover_prefix(other, prefix, 64), nullptr);
    EXPECT_EQ(leftover_prefix(L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}", prefix, 8), nullptr);  // 9 units needed
    EXPECT_NE(leftover_prefix(L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}", prefix, 9), nullptr);
}

}  // namespace
