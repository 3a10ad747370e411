// The templates whose leftover folders a parent sweeps, and how the sweep
// picks its names, counts its removals and stops when the child ends.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "removal/remove_tree.h"
#include "removal/sweep.h"
#include "unpack/state.h"
#include "tests/support/files.h"
#include "tests/support/seam.h"

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

// A listing of 100 folder names that stay (their claim fails): each start
// looks at another 64 of them, so over a few starts every name is looked
// at, not always the same first 64.
std::vector<std::wstring> listing;
size_t listed;
long long clock_now;
HANDLE WINAPI first_name(LPCWSTR, FINDEX_INFO_LEVELS, LPVOID found, FINDEX_SEARCH_OPS, LPVOID, DWORD) {
    listed = 0;
    auto *data = static_cast<WIN32_FIND_DATAW *>(found);
    data->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    wcscpy(data->cFileName, listing[listed++].c_str());
    return reinterpret_cast<HANDLE>(0x60);
}
BOOL WINAPI next_name(HANDLE, LPWIN32_FIND_DATAW found) {
    if (listed == listing.size()) return FALSE;
    wcscpy(found->cFileName, listing[listed++].c_str());
    return TRUE;
}
BOOL WINAPI stepping_clock(LARGE_INTEGER *now) {
    now->QuadPart = clock_now;
    clock_now += 7919;
    return TRUE;
}

class SweepTest : public SeamTest {};

TEST_F(SweepTest, EachStartLooksFromAnotherName) {
    listing.clear();
    for (int i = 0; i < 100; ++i) listing.push_back(L"onefile_" + std::to_wstring(i));
    sys.FindFirstFileExW = first_name;
    sys.FindNextFileW = next_name;
    sys.FindClose = [](HANDLE) -> BOOL { return TRUE; };
    sys.QueryPerformanceCounter = stepping_clock;
    static std::vector<std::wstring> offered;
    std::set<std::wstring> seen;
    for (int start = 0; start < 12; ++start) {
        offered.clear();
        claim_folders(L"C:\\t\\onefile_*", [](const wchar_t *name, const void *) {
            offered.push_back(name);
            return false;
        }, nullptr);
        EXPECT_EQ(offered.size(), 64u);
        EXPECT_EQ(std::set<std::wstring>(offered.begin(), offered.end()).size(), 64u) << "a name offered twice";
        seen.insert(offered.begin(), offered.end());
    }
    EXPECT_EQ(seen.size(), 100u);
}

// Real folders below the tests' data folder; a removal refused for names
// holding "STUCK" stands for a folder that can be renamed but not removed.
class SweepFolders : public SeamTest {
protected:
    void SetUp() override {
        root = widen(test_data("sweep-" + std::to_string(GetCurrentProcessId()) + "-" +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name()));
        remove_directory_tree(root.c_str());
        ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    }
    void TearDown() override {
        SeamTest::TearDown();
        remove_directory_tree(root.c_str());
    }
    // A leftover of launcher 999900nn, never a live process, with `files` files.
    std::wstring leftover(int id, const std::wstring &random, int files) {
        std::wstring folder = root + L"\\onefile_" + std::to_wstring(99990000 + id) + L"_000001_" + random;
        CreateDirectoryW(folder.c_str(), nullptr);
        for (int i = 0; i < files; ++i) make_file(folder + L"\\f" + std::to_wstring(i));
        return folder;
    }
    std::wstring own(int id) { return root + L"\\onefile_" + std::to_wstring(99990000 + id) + L"_000002_OWNOWNOWNOW"; }
    std::wstring root;
};

// The names in `folder`, dots aside.
size_t count_entries(const std::wstring &folder) {
    size_t count = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    do count += !is_dot_entry(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    return count;
}

BOOL WINAPI refusing_removal(LPCWSTR path) {
    if (wcsstr(path, L"STUCK") != nullptr) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return real_sys.RemoveDirectoryW(path);
}

TEST_F(SweepFolders, FoldersThatStayDoNotTakeTheRemovals) {
    for (int i = 0; i < 10; ++i) leftover(4 * i, L"STUCKSTUCK" + std::to_wstring(i), 1);
    std::wstring removable = leftover(40, L"removable00", 3);
    sys.RemoveDirectoryW = refusing_removal;
    sweep_leftover_folders(own(44).c_str(), L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}");
    EXPECT_FALSE(exists(removable)) << "ten folders that stay took the start's removals";
    EXPECT_FALSE(exists(root + L"\\onefile_99990044_000001_removable00"));
    EXPECT_EQ(count_entries(root), 10u);  // the stuck ones, claimed, empty
}

// The sweep runs beside the wait; stopped when the child ends, it leaves the
// folder it was removing claimed under its own id, and a later start
// finishes it.
std::atomic<int> deletions_seen;
HANDLE twentieth_deletion;
BOOL WINAPI counted_deletion(LPCWSTR path) {
    if (++deletions_seen == 20) SetEvent(twentieth_deletion);
    return real_sys.DeleteFileW(path);
}

TEST_F(SweepFolders, StoppedSweepLeavesItsClaimForALaterStart) {
    leftover(48, L"BIGBIGBIGBI", 400);
    wcscpy(launcher_state.target_directory, own(52).c_str());
    deletions_seen = 0;
    twentieth_deletion = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    sys.DeleteFileW = counted_deletion;
    start_leftover_sweep();
    ASSERT_EQ(WaitForSingleObject(twentieth_deletion, 60000), WAIT_OBJECT_0);
    stop_leftover_sweep();
    int stopped_at = deletions_seen;
    CloseHandle(twentieth_deletion);
    std::wstring claimed = root + L"\\onefile_99990052_000001_BIGBIGBIGBI";
    ASSERT_TRUE(exists(claimed));
    size_t left = count_entries(claimed);
    EXPECT_GT(left, 0u);
    EXPECT_EQ(left, 400u - static_cast<size_t>(stopped_at));  // nothing removed after the stop returned
    // The next launcher's sweep, left to run to its end.
    wcscpy(launcher_state.target_directory, own(56).c_str());
    start_leftover_sweep();
    for (int i = 0; i < 6000 && count_entries(root) > 0; ++i) Sleep(10);
    stop_leftover_sweep();
    EXPECT_EQ(count_entries(root), 0u);
    launcher_state.target_directory[0] = 0;
}

}  // namespace
