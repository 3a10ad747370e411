// The clean-up and its console events, observed through the system-call
// table: the removal's retries, the child's five seconds, the events that
// clean up, the race for the child's handle, and two removals at once.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "run/cleanup.h"
#include "removal/remove_tree.h"
#include "removal/sweep.h"
#include "removal/target_folder.h"
#include "unpack/extract.h"
#include "unpack/state.h"
#include "launcher/tests/support/cleanup_fixture.h"
#include "tests/support/files.h"

namespace {

TEST_F(CleanupTest, GoneAfterTheFirstAttempt) {
    cleanup_at_exit();
    EXPECT_EQ(deletions, std::vector<std::wstring>{L"\\\\?\\C:\\t\\onefile_1_000001_AAAAAAAAAAA"});
    EXPECT_EQ(sleeps, 0);
    EXPECT_TRUE(waits.empty());
}

// Twenty pauses of 100 ms: two seconds by the clock.
TEST_F(CleanupTest, RetriesTwentyTimesAtMost) {
    directory_checks_left = 3;
    cleanup_at_exit();
    EXPECT_EQ(deletions.size(), 4u);
    EXPECT_EQ(sleeps, 3);
    directory_checks_left = 1000;
    deletions.clear();
    sleeps = 0;
    cleanup_at_exit();
    EXPECT_EQ(deletions.size(), 21u);
    EXPECT_EQ(sleeps, 20);
}

// On Windows each pause lasts at least a timer tick (15.6 ms by default),
// and an attempt may itself take long (a scanner holding a file): the waits
// the clean-up bounds are bounded by the clock, not by a count of pauses.
// The entry loop that does not stop (a close held by a scanner) is given
// five seconds, then the removal goes on; the removal's retries end about
// two seconds after the first attempt however long each attempt lasts.
TEST_F(CleanupTest, BoundedWaitsGoByTheClockWhateverATickLasts) {
    sys.Sleep = [](DWORD ms) { clock_ms += (ms + 15) / 16 * 16; };  // a tick of about 16 ms
    launcher_state.unpacking = true;
    ULONGLONG begun = clock_ms;
    EXPECT_FALSE(stop_entry_loop(5000));
    EXPECT_GE(clock_ms - begun, 5000u);
    EXPECT_LE(clock_ms - begun, 5016u);
    // The clean-up with that loop still running: five seconds for the loop,
    // then attempts of 300 ms each (the folder stays) for about two seconds.
    sys.NtQueryDirectoryFile = [](HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG, BOOLEAN,
                                  PUNICODE_STRING mask, BOOLEAN) -> NTSTATUS {
        if (mask != nullptr) deletions.push_back(std::wstring(mask->Buffer, mask->Length / 2));
        clock_ms += 300;
        return static_cast<NTSTATUS>(0xC000000Fu);  // STATUS_NO_SUCH_FILE
    };
    directory_checks_left = 1000;
    begun = clock_ms;
    cleanup_at_exit();
    launcher_state.unpacking = false;
    EXPECT_LE(clock_ms - begun, 5016u + 2000u + 300u + 112u);
    EXPECT_GE(deletions.size(), 2u);  // retried all the same
}

TEST_F(CleanupTest, PlainFileAtTheTargetEndsTheRetries) {
    directory_checks_left = 1000;
    present_attributes = FILE_ATTRIBUTE_ARCHIVE;
    cleanup_at_exit();
    EXPECT_EQ(deletions.size(), 1u);
}

TEST_F(CleanupTest, NothingBeforeExtractionStarted) {
    launcher_state.extraction_started = false;
    cleanup_at_exit();
    EXPECT_TRUE(deletions.empty());
    launcher_state.extraction_started = true;
}

TEST_F(CleanupTest, ChildGetsFiveSecondsThenIsTerminated) {
    launcher_state.shared_child_process = reinterpret_cast<HANDLE>(0x44);
    cleanup_at_exit();
    EXPECT_EQ(waits, std::vector<DWORD>{5000});
    EXPECT_TRUE(terminations.empty());
    launcher_state.shared_child_process = reinterpret_cast<HANDLE>(0x44);
    wait_answer = WAIT_TIMEOUT;
    cleanup_at_exit();
    EXPECT_EQ(terminations, std::vector<UINT>{0xC000013A});  // never success
    EXPECT_EQ(launcher_state.shared_child_process, nullptr);
    launcher_state.shared_child_process = reinterpret_cast<HANDLE>(0x44);
    wait_answer = WAIT_FAILED;
    cleanup_at_exit();
    EXPECT_EQ(terminations.size(), 2u);
}

TEST_F(CleanupTest, ConsoleEventsThatCleanUpBeforeTheChild) {
    for (DWORD event : {0u, 1u, 2u, 6u}) {
        deletions.clear();
        EXPECT_FALSE(console_control_handler(event));
        EXPECT_EQ(deletions.size(), 1u) << event;
    }
    for (DWORD event : {3u, 4u, 7u, 100u}) {
        deletions.clear();
        EXPECT_FALSE(console_control_handler(event));
        EXPECT_TRUE(deletions.empty()) << event;
    }
}

// With a child running, Ctrl+C and Ctrl+Break are the child's: the parent
// neither waits for nor ends it, removes nothing and is not ended itself.
// Closing the console and shut-down still give it five seconds.
TEST_F(CleanupTest, InterruptsWhileTheChildRunsAreTheChilds) {
    sys.DuplicateHandle = [](HANDLE, HANDLE, HANDLE, LPHANDLE copy, DWORD, BOOL, DWORD) -> BOOL {
        *copy = reinterpret_cast<HANDLE>(0x48);
        return TRUE;
    };
    share_child_process(reinterpret_cast<HANDLE>(0x44));
    wait_answer = WAIT_TIMEOUT;
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) {
        EXPECT_TRUE(console_control_handler(event)) << event;
        EXPECT_TRUE(deletions.empty()) << event;
    }
    EXPECT_TRUE(waits.empty());
    EXPECT_TRUE(terminations.empty());
    EXPECT_EQ(launcher_state.shared_child_process, reinterpret_cast<HANDLE>(0x48));
    for (DWORD event : {CTRL_CLOSE_EVENT, CTRL_SHUTDOWN_EVENT}) {
        deletions.clear();
        launcher_state.shared_child_process = reinterpret_cast<HANDLE>(0x48);
        EXPECT_FALSE(console_control_handler(event)) << event;
        EXPECT_EQ(deletions.size(), 1u) << event;
    }
    EXPECT_EQ(waits, (std::vector<DWORD>{5000, 5000}));
    EXPECT_EQ(terminations, (std::vector<UINT>{0xC000013A, 0xC000013A}));
    // Once the child has ended and its handle is back, an interrupt still
    // leaves the parent to exit with the child's code.
    release_shared_child_process();
    deletions.clear();
    EXPECT_TRUE(console_control_handler(CTRL_C_EVENT));
    EXPECT_TRUE(deletions.empty());
}

// Log-off reaches a launcher only where it runs as or by a service, and
// any user's log-off sends it: while it unpacks and while its child runs,
// the launcher does nothing (no wait, no termination, no stop, no removal)
// and answers that it handled the event, so the system does not end it.
TEST_F(CleanupTest, LogOffLeavesTheLauncherAndItsChildGoingOn) {
    launcher_state.unpacking = true;
    launcher_state.stop_requested = false;
    EXPECT_TRUE(console_control_handler(CTRL_LOGOFF_EVENT));
    EXPECT_FALSE(launcher_state.stop_requested);
    launcher_state.unpacking = false;
    sys.DuplicateHandle = [](HANDLE, HANDLE, HANDLE, LPHANDLE copy, DWORD, BOOL, DWORD) -> BOOL {
        *copy = reinterpret_cast<HANDLE>(0x48);
        return TRUE;
    };
    share_child_process(reinterpret_cast<HANDLE>(0x44));
    wait_answer = WAIT_TIMEOUT;
    EXPECT_TRUE(console_control_handler(CTRL_LOGOFF_EVENT));
    EXPECT_TRUE(waits.empty());
    EXPECT_TRUE(terminations.empty());
    EXPECT_TRUE(deletions.empty());
    EXPECT_EQ(launcher_state.shared_child_process, reinterpret_cast<HANDLE>(0x48));
    // Shut-down, after it, still ends the child and removes the folder.
    EXPECT_FALSE(console_control_handler(CTRL_SHUTDOWN_EVENT));
    EXPECT_EQ(terminations, std::vector<UINT>{0xC000013A});
    EXPECT_EQ(deletions.size(), 1u);
}

// The main thread and the console control thread race for the child's
// handle: each handle is closed exactly once, and nothing waits on a closed one.
std::map<HANDLE, int> closes;
std::atomic<bool> closed_was_waited;
CRITICAL_SECTION closes_lock;

BOOL WINAPI counting_close(HANDLE handle) {
    EnterCriticalSection(&closes_lock);
    ++closes[handle];
    LeaveCriticalSection(&closes_lock);
    return real_sys.CloseHandle(handle);
}
DWORD WINAPI checked_wait(HANDLE handle, DWORD) {
    EnterCriticalSection(&closes_lock);
    if (closes.count(handle) != 0) closed_was_waited = true;
    LeaveCriticalSection(&closes_lock);
    return WAIT_OBJECT_0;
}

TEST_F(CleanupTest, HandleRaceClosesEachHandleOnce) {
    InitializeCriticalSection(&closes_lock);
    sys.CloseHandle = counting_close;
    sys.WaitForSingleObject = checked_wait;
    sys.DuplicateHandle = real_sys.DuplicateHandle;
    for (int round = 0; round < 300; ++round) {
        closes.clear();
        HANDLE child = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        share_child_process(child);
        HANDLE duplicate = launcher_state.shared_child_process;
        ASSERT_NE(duplicate, nullptr);
        std::thread control([] { console_control_handler(CTRL_CLOSE_EVENT); });
        release_shared_child_process();
        control.join();
        EXPECT_EQ(closes[duplicate], 1) << round;
        EXPECT_EQ(closes.count(child), 0u);
        real_sys.CloseHandle(child);
    }
    EXPECT_FALSE(closed_was_waited);
    DeleteCriticalSection(&closes_lock);
}

class RemovalRace : public SeamTest {};

// The main thread (after the child ended) and a console control thread can
// ask for the removal together: one removes, the other waits and then finds
// nothing left; their walks never interleave.
std::vector<DWORD> searching_threads;
SRWLOCK searching_lock = SRWLOCK_INIT;
NTSTATUS WINAPI logged_search(HANDLE folder, HANDLE event, PVOID routine, PVOID context, PIO_STATUS_BLOCK io,
                              PVOID buffer, ULONG length, ULONG kind, BOOLEAN single, PUNICODE_STRING mask,
                              BOOLEAN restart) {
    AcquireSRWLockExclusive(&searching_lock);
    searching_threads.push_back(GetCurrentThreadId());
    ReleaseSRWLockExclusive(&searching_lock);
    Sleep(2);  // widens the window in which the other thread could step in
    return real_sys.NtQueryDirectoryFile(folder, event, routine, context, io, buffer, length, kind, single, mask,
                                         restart);
}

TEST_F(RemovalRace, TwoRemovalsAtOnceTakeTurns) {
    std::string root = "remove-race-" + std::to_string(GetCurrentProcessId());
    std::wstring wide_root = widen(test_data(root));
    ASSERT_TRUE(CreateDirectoryW(wide_root.c_str(), nullptr));
    CreateDirectoryW((wide_root + L"\\outside").c_str(), nullptr);
    make_file(wide_root + L"\\outside\\keep.txt");
    std::wstring target = wide_root + L"\\target";
    CreateDirectoryW(target.c_str(), nullptr);
    for (int i = 0; i < 20; ++i) {
        std::wstring folder = target + L"\\f" + std::to_wstring(i);
        CreateDirectoryW(folder.c_str(), nullptr);
        make_file(folder + L"\\x.txt");
    }
    wcscpy(launcher_state.target_directory, target.c_str());
    launcher_state.extraction_started = true;
    searching_threads.clear();
    sys.NtQueryDirectoryFile = logged_search;
    std::thread control([] { console_control_handler(CTRL_C_EVENT); });
    cleanup_at_exit();
    control.join();
    launcher_state.extraction_started = false;

    EXPECT_FALSE(exists(target));
    EXPECT_TRUE(exists(wide_root + L"\\outside\\keep.txt"));
    size_t switches = 0;
    for (size_t i = 1; i < searching_threads.size(); ++i) switches += searching_threads[i] != searching_threads[i - 1];
    EXPECT_LE(switches, 1u) << "the two removals interleaved";
    EXPECT_GE(searching_threads.size(), 22u);
    remove_directory_tree(wide_root.c_str());
}

// A temporary folder in which the launcher may make folders but not list
// them (C:\Windows\Temp, for a service's identity): the launcher removes its
// own folder through the handle it has held since making it, never listing
// the folder above; the sweep skips that folder and touches nothing in it.
std::wstring unlistable;
HANDLE WINAPI refusing_to_list(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE model) {
    std::wstring asked = path;
    if (asked.rfind(L"\\\\?\\", 0) == 0) asked = asked.substr(4);
    while (!asked.empty() && asked.back() == L'\\') asked.pop_back();
    if ((access & FILE_LIST_DIRECTORY) != 0 && _wcsicmp(asked.c_str(), unlistable.c_str()) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return real_sys.CreateFileW(path, access, share, security, disposition, flags, model);
}

TEST_F(RemovalRace, AFolderInATemporaryFolderThatCannotBeListedIsRemovedAllTheSame) {
    reset_launcher_state();
    std::string pid = std::to_string(GetCurrentProcessId());
    unlistable = widen(test_data("unlistable-" + pid));
    ASSERT_TRUE(CreateDirectoryW(unlistable.c_str(), nullptr));
    std::wstring target = unlistable + L"\\onefile_" + widen(pid) + L"_000001_AAAAAAAAAAA";
    std::wstring leftover = unlistable + L"\\onefile_99990001_000001_BBBBBBBBBBB";
    CreateDirectoryW(leftover.c_str(), nullptr);
    make_file(leftover + L"\\app.dll");
    wcscpy(launcher_state.target_directory, target.c_str());
    sys.CreateFileW = refusing_to_list;
    Outcome made = capture([] { make_target_folder(); });
    ASSERT_EQ(made.ending, Ending::returned) << made.standard_error;
    CreateDirectoryW((target + L"\\data").c_str(), nullptr);
    make_file(target + L"\\data\\readme.txt");
    make_file(target + L"\\app.dll");
    sweep_leftover_folders(target.c_str(), L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}");
    EXPECT_TRUE(exists(leftover + L"\\app.dll"));
    launcher_state.extraction_started = true;
    cleanup_at_exit();
    launcher_state.extraction_started = false;
    EXPECT_FALSE(exists(target));
    sys = real_sys;
    release_target_folder();
    remove_directory_tree(unlistable.c_str());
}

}  // namespace
