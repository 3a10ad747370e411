// The templates whose leftover folders a parent sweeps, and how the sweep
// picks its names, counts its removals and stops when the child ends.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "removal/remove_tree.h"
#include "removal/sweep.h"
#include "tests/support/files.h"
#include "launcher/tests/support/seam.h"

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

long long clock_now;
BOOL WINAPI stepping_clock(LARGE_INTEGER *now) {
    now->QuadPart = clock_now;
    clock_now += 7919;
    return TRUE;
}

// Real folders below the tests' data folder.
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

// 100 folders that stay (their claim fails): each start looks at another 64
// of them, so over a few starts every name is looked at, not always the
// same first 64 of the listing.
TEST_F(SweepFolders, EachStartLooksAtOtherNames) {
    for (int i = 0; i < 100; ++i) CreateDirectoryW((root + L"\\onefile_" + std::to_wstring(i)).c_str(), nullptr);
    sys.QueryPerformanceCounter = stepping_clock;
    static std::vector<std::wstring> offered;
    std::set<std::wstring> seen;
    for (int start = 0; start < 12; ++start) {
        offered.clear();
        claim_folders(root.c_str(), L"onefile_*", [](HANDLE, const ListedEntry &, const wchar_t *name, const void *) {
            offered.push_back(name);
            return false;
        }, nullptr);
        EXPECT_EQ(offered.size(), 64u);
        EXPECT_EQ(std::set<std::wstring>(offered.begin(), offered.end()).size(), 64u) << "a name offered twice";
        seen.insert(offered.begin(), offered.end());
    }
    EXPECT_EQ(seen.size(), 100u);
}

// A deletion refused for whatever lies in a folder named with "STUCK": such
// a folder can be renamed but not removed.
constexpr ULONG kDispositionClasses[] = {13, 64};  // FileDispositionInformation and its Ex form
bool is_disposition(ULONG information_class) {
    return information_class == kDispositionClasses[0] || information_class == kDispositionClasses[1];
}
NTSTATUS WINAPI refusing_deletion(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length, ULONG kind) {
    wchar_t path[1024] = {};
    if (is_disposition(kind) && GetFinalPathNameByHandleW(file, path, 1024, 0) != 0 && wcsstr(path, L"STUCK") != nullptr)
        return static_cast<NTSTATUS>(0xC0000022u);  // access denied
    return real_sys.NtSetInformationFile(file, io, information, length, kind);
}

TEST_F(SweepFolders, FoldersThatStayDoNotTakeTheRemovals) {
    for (int i = 0; i < 10; ++i) leftover(4 * i, L"STUCKSTUCK" + std::to_wstring(i), 1);
    std::wstring removable = leftover(40, L"removable00", 3);
    sys.NtSetInformationFile = refusing_deletion;
    sweep_leftover_folders(own(44).c_str(), L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}");
    EXPECT_FALSE(exists(removable)) << "ten folders that stay took the start's removals";
    EXPECT_FALSE(exists(root + L"\\onefile_99990044_000001_removable00"));
    EXPECT_EQ(count_entries(root), 10u);  // the stuck ones, claimed
}

// The sweep runs beside the wait; stopped when the child ends, it leaves the
// folder it was removing claimed under its own id, and a later start
// finishes it.
std::atomic<int> deletions_seen;
HANDLE twentieth_deletion;
NTSTATUS WINAPI counted_deletion(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length, ULONG kind) {
    NTSTATUS status = real_sys.NtSetInformationFile(file, io, information, length, kind);
    if (is_disposition(kind) && status >= 0 && ++deletions_seen == 20) SetEvent(twentieth_deletion);
    return status;
}

TEST_F(SweepFolders, StoppedSweepLeavesItsClaimForALaterStart) {
    leftover(48, L"BIGBIGBIGBI", 400);
    deletions_seen = 0;
    twentieth_deletion = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    sys.NtSetInformationFile = counted_deletion;
    const wchar_t *path_template = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
    std::wstring first = own(52), later = own(56);
    start_leftover_sweep(first.c_str(), path_template);
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
    start_leftover_sweep(later.c_str(), path_template);
    for (int i = 0; i < 6000 && count_entries(root) > 0; ++i) Sleep(10);
    stop_leftover_sweep();
    EXPECT_EQ(count_entries(root), 0u);
}

// The sweep never holds the parent's exit, and never takes a folder whose
// launcher may live:
// - an entry under another program's opportunistic lock is left at once:
//   its open asks not to wait for the lock's break (the fake makes a wait
//   cost three seconds), and the rest of its folder goes;
// - a removal that waits on the system all the same (a slow share) holds
//   the parent's stop for a second at most; the folder it was claiming
//   stays claimed under the parent's id for a later start;
// - a launcher whose process cannot be opened for lack of access (another
//   user's, an elevated one) counts as alive: its folder stays as it is.
NTSTATUS WINAPI locking_open(PHANDLE handle, DWORD access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                             PLARGE_INTEGER size, ULONG file_attributes, ULONG share, ULONG disposition, ULONG options,
                             PVOID ea, ULONG ea_length) {
    NTSTATUS status = real_sys.NtCreateFile(handle, access, attributes, io, size, file_attributes, share, disposition,
                                            options, ea, ea_length);
    const UNICODE_STRING *name = attributes->ObjectName;
    if (status < 0 || (access & DELETE) == 0 || std::wstring(name->Buffer, name->Length / 2) != L"locked.bin")
        return status;
    if ((options & 0x100) == 0) {  // FILE_COMPLETE_IF_OPLOCKED not asked: the open waits for the break
        Sleep(3000);
        return status;
    }
    return static_cast<NTSTATUS>(0x108);  // STATUS_OPLOCK_BREAK_IN_PROGRESS, the handle open
}
HANDLE WINAPI refusing_other_user(DWORD access, BOOL inherit, DWORD id) {
    if (id != 99990064) return real_sys.OpenProcess(access, inherit, id);
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}
std::atomic<bool> stuck;
HANDLE unstuck;
NTSTATUS WINAPI stuck_deletion(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length, ULONG kind) {
    wchar_t path[1024] = {};
    if (is_disposition(kind) && GetFinalPathNameByHandleW(file, path, 1024, 0) != 0 && wcsstr(path, L"STUCK") != nullptr) {
        stuck = true;
        WaitForSingleObject(unstuck, 20000);
    }
    return real_sys.NtSetInformationFile(file, io, information, length, kind);
}
HANDLE sweep_thread;
HANDLE WINAPI kept_thread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID argument,
                          DWORD flags, LPDWORD id) {
    HANDLE thread = real_sys.CreateThread(security, stack, start, argument, flags, id);
    DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &sweep_thread, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return thread;
}

TEST_F(SweepFolders, NeitherALockNorAStuckRemovalHoldsTheExitNorIsALiveLaunchersFolderTaken) {
    const wchar_t *path_template = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
    std::wstring locked = leftover(60, L"LOCKED00000", 2);
    make_file(locked + L"\\locked.bin");
    std::wstring other_users = leftover(64, L"OTHERUSER00", 1);
    sys.NtCreateFile = locking_open;
    sys.OpenProcess = refusing_other_user;
    ULONGLONG begun = GetTickCount64();
    sweep_leftover_folders(own(68).c_str(), path_template);
    EXPECT_LT(GetTickCount64() - begun, 2000u) << "waited for the lock's break";
    std::wstring claimed = root + L"\\onefile_99990068_000001_LOCKED00000";
    EXPECT_EQ(count_entries(claimed), 1u);
    EXPECT_TRUE(exists(claimed + L"\\locked.bin"));
    EXPECT_EQ(count_entries(other_users), 1u) << "another user's launcher's folder was taken";

    std::wstring stuck_folder = leftover(72, L"STUCKSTUCK0", 3);
    stuck = false;
    unstuck = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    sys.NtSetInformationFile = stuck_deletion;
    sys.CreateThread = kept_thread;
    std::wstring parent = own(76);  // outlives the sweep
    start_leftover_sweep(parent.c_str(), path_template);
    for (int i = 0; i < 1000 && !stuck; ++i) Sleep(10);
    ASSERT_TRUE(stuck);
    begun = GetTickCount64();
    stop_leftover_sweep();
    EXPECT_LT(GetTickCount64() - begun, 2500u) << "the parent's exit waited for the sweep";
    EXPECT_TRUE(exists(root + L"\\onefile_99990076_000001_STUCKSTUCK0"));
    EXPECT_FALSE(exists(stuck_folder));
    SetEvent(unstuck);
    EXPECT_EQ(WaitForSingleObject(sweep_thread, 20000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(sweep_thread);
    CloseHandle(unstuck);
}

}  // namespace
