// The entry loop with its closing threads, over real files: a payload of a
// hundred files (tests/data/make_streams.py "many") unpacked into a scratch
// folder, with closes failing, slowed or stopped through the system-call
// table while the loop goes on writing. Whatever the threads do, the result
// is a one-thread run's: the first failing entry in payload order decides
// the message, a repeated name ends with the later entry's bytes, and once
// the loop has returned no file is left open.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <map>
#include <string>

#include "run/cleanup.h"
#include "payload/reader.h"
#include "tests/e2e/launch.h"
#include "tests/support/files.h"
#include "launcher/tests/support/seam.h"
#include "unpack/closing.h"
#include "unpack/extract.h"
#include "unpack/report.h"
#include "unpack/state.h"

namespace {

constexpr int kFiles = 100;

// Which entry a handle belongs to (its file's number, from its name), and
// which thread closed each file; filled by the wrappers below.
SRWLOCK lock = SRWLOCK_INIT;
std::map<HANDLE, int> entry_of;
std::map<int, DWORD> closed_on;
std::atomic<int> opened_last{-1}, failed_last{-1};
// What the wrappers do: a close that fails (after really closing) with its
// code; a close that waits first until the loop has opened a later entry, or
// until the close of a later entry has failed.
std::map<int, DWORD> close_fails_with;
std::map<int, int> close_waits_for_open, close_waits_for_failure;
int open_fails_at = -1;
DWORD closed_on_loop_thread;

int number_of(LPCWSTR path) {
    std::wstring name = path;
    size_t at = name.find_last_of(L"fF");
    return at == std::wstring::npos || at + 4 > name.size() ? -1 : _wtoi(name.c_str() + at + 1);
}

NTSTATUS WINAPI create_file(PHANDLE handle, DWORD access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                            PLARGE_INTEGER size, ULONG file_attributes, ULONG share, ULONG disposition, ULONG options,
                            PVOID ea, ULONG ea_length) {
    std::wstring name(attributes->ObjectName->Buffer, attributes->ObjectName->Length / sizeof(wchar_t));
    int entry = number_of(name.c_str());
    NTSTATUS status = kStatusAccessDenied;
    if (entry < 0 || entry != open_fails_at)
        status = real_sys.NtCreateFile(handle, access, attributes, io, size, file_attributes, share, disposition,
                                       options, ea, ea_length);
    // Not a payload file: a folder on the way, say.
    if (entry < 0 || status < 0) return status;
    AcquireSRWLockExclusive(&lock);
    entry_of[*handle] = entry;
    ReleaseSRWLockExclusive(&lock);
    opened_last = entry;
    return status;
}

BOOL WINAPI close_handle(HANDLE handle) {
    AcquireSRWLockExclusive(&lock);
    auto found = entry_of.find(handle);
    if (found == entry_of.end()) {
        ReleaseSRWLockExclusive(&lock);
        return real_sys.CloseHandle(handle);
    }
    int entry = found->second;
    entry_of.erase(found);
    closed_on[entry] = GetCurrentThreadId();
    auto waits = close_waits_for_open.find(entry);
    int wait_for = waits == close_waits_for_open.end() ? -1 : waits->second;
    auto waits_failure = close_waits_for_failure.find(entry);
    int wait_for_failure = waits_failure == close_waits_for_failure.end() ? -1 : waits_failure->second;
    auto fails = close_fails_with.find(entry);
    DWORD code = fails == close_fails_with.end() ? 0 : fails->second;
    ReleaseSRWLockExclusive(&lock);
    // The loop goes on meanwhile: it must not take its own later failure, or
    // a later close's, for the first one.
    for (int i = 0; wait_for >= 0 && opened_last < wait_for && i < 5000; ++i) Sleep(1);
    for (int i = 0; wait_for_failure >= 0 && failed_last != wait_for_failure && i < 5000; ++i) Sleep(1);
    BOOL closed = real_sys.CloseHandle(handle);
    if (code == 0) return closed;
    failed_last = entry;
    SetLastError(code);
    return FALSE;
}

class ClosingTest : public SeamTest {
protected:
    void SetUp() override {
        reset_launcher_state();
        target = scratch_folder(L"closing") + L"\\target";
        wcscpy(launcher_state.target_directory, target.c_str());
        entry_of.clear();
        closed_on.clear();
        close_fails_with.clear();
        close_waits_for_open.clear();
        close_waits_for_failure.clear();
        opened_last = failed_last = -1;
        open_fails_at = -1;
        sys.NtCreateFile = create_file;
        CreateDirectoryW(target.c_str(), nullptr);  // made before the loop, as the run sequence does
        sys.CloseHandle = close_handle;
        payload = read_file(test_data("many.payload"));
    }
    // Unpacks the payload into the target as a parent does; the outcome of its report, if any.
    Outcome extract() {
        return capture([&] {
            PayloadStatus opened =
                open_payload_at(reinterpret_cast<const unsigned char *>(payload.data()), payload.size());
            if (opened != PayloadStatus::ok) report_payload_failure(opened);
            launcher_state.extraction_started = true;
            EntryLoopResult loop = extract_payload(false);
            ending = loop.ending;
            if (loop.ending != EntryLoopEnding::end_record && loop.ending != EntryLoopEnding::stopped)
                report_entry_loop_failure(loop);
            close_payload();
        });
    }
    // Every handle the loop opened was closed, and the folder can go: no
    // file in it is held open (the system refuses to delete one that is).
    void expect_nothing_left_open() {
        EXPECT_TRUE(entry_of.empty()) << entry_of.size() << " files left open";
        sys = real_sys;
        launcher_state.extraction_started = true;
        cleanup_at_exit();
        EXPECT_FALSE(exists(target));
    }
    std::wstring target;
    std::string payload;
    EntryLoopEnding ending = EntryLoopEnding::damaged;
};

std::map<std::wstring, std::string> expected_tree() {
    std::map<std::wstring, std::string> tree;
    for (int i = 0; i < kFiles; ++i) {
        wchar_t name[32];
        swprintf(name, 32, L"d%d\\f%03d.txt", i % 4, i);
        std::string line = std::to_string(i) + "\n", data;
        for (int k = 0; k < i % 7 + 1; ++k) data += line;
        tree[name] = data;
    }
    tree[L"d1\\f001.txt"] = "later\n";
    return tree;
}

TEST_F(ClosingTest, ClosesRunOnThreadsAndTheTreeIsAOneThreadRuns) {
    Outcome outcome = extract();
    ASSERT_EQ(outcome.ending, Ending::returned) << outcome.standard_output << outcome.standard_error;
    EXPECT_EQ(ending, EntryLoopEnding::end_record);
    // The later entry of a repeated name replaced the earlier one.
    EXPECT_EQ(read_tree(target), expected_tree());
    uint64_t bytes = 4;  // entry 1's own "1\n1\n", written before the later entry replaced it
    for (const auto &file : expected_tree()) bytes += file.second.size();
    EXPECT_EQ(unpacked_bytes(), bytes);
    // The first files were closed by the loop itself, later ones elsewhere;
    // the threads end with the loop.
    EXPECT_EQ(closed_on[0], GetCurrentThreadId());
    int elsewhere = 0;
    for (const auto &close : closed_on) elsewhere += close.second != GetCurrentThreadId();
    EXPECT_GT(elsewhere, 0);
    EXPECT_EQ(closing_threads(), 0u);
    expect_nothing_left_open();
}

TEST_F(ClosingTest, AFailedCloseOnAThreadComesBeforeALaterOpenFailure) {
    // The close of entry 40 fails on a thread only once the loop has tried
    // to open entry 45, which fails too: entry 40's failure is the first.
    close_fails_with[40] = ERROR_DISK_FULL;
    close_waits_for_open[40] = 44;
    open_fails_at = 45;
    Outcome outcome = extract();
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.standard_error.rfind("Error, couldn't unpack file to target path. ([Error 112] ", 0), 0u)
        << outcome.standard_error;
    EXPECT_NE(closed_on[40], GetCurrentThreadId());
    expect_nothing_left_open();
}

TEST_F(ClosingTest, OfTwoFailedClosesTheEarlierEntryIsNamedWhicheverFailsFirst) {
    // Both closes are pending on threads when they fail, in either order.
    for (bool later_fails_first : {true, false}) {
        SetUp();
        close_fails_with[30] = ERROR_DISK_FULL;
        close_fails_with[35] = ERROR_HANDLE_DISK_FULL;
        if (later_fails_first) {
            close_waits_for_open[35] = 36;
            close_waits_for_failure[30] = 35;
        } else {
            close_waits_for_open[30] = 36;
            close_waits_for_failure[35] = 30;
        }
        Outcome outcome = extract();
        EXPECT_EQ(outcome.exit_code, 2);
        EXPECT_EQ(outcome.standard_error.rfind("Error, couldn't unpack file to target path. ([Error 112] ", 0), 0u)
            << outcome.standard_error << (later_fails_first ? " (entry 35 failed first)" : " (entry 30 failed first)");
        expect_nothing_left_open();
    }
}

TEST_F(ClosingTest, AnOpenFailureWithNoFailedCloseBeforeItIsNamed) {
    close_waits_for_open[20] = 49;  // slow, but it succeeds
    open_fails_at = 50;
    Outcome outcome = extract();
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.standard_error, "Error, failed to open '" + narrow(target) + "\\d2\\f050.txt' for writing.\n");
    expect_nothing_left_open();
}

TEST_F(ClosingTest, WithoutThreadsTheLoopClosesEveryFileItself) {
    sys.CreateThread = [](LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD) -> HANDLE {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    };
    close_fails_with[70] = ERROR_DISK_FULL;
    Outcome outcome = extract();
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.standard_error.rfind("Error, couldn't unpack file to target path. ([Error 112] ", 0), 0u)
        << outcome.standard_error;
    for (const auto &close : closed_on) EXPECT_EQ(close.second, GetCurrentThreadId()) << "entry " << close.first;
    EXPECT_EQ(closed_on.count(71), 0u);  // nothing after the failing entry was written
    expect_nothing_left_open();
}

// The cached mode finishes each file (its fixed write time, a flush) on the
// thread that closes it: a flush failing there is that file's failure.
TEST_F(ClosingTest, TheCachedModesFinishRunsWithTheCloseAndItsFailureIsTheFiles) {
    launcher_state.cached_files = true;
    static DWORD flushed_on_loop;
    flushed_on_loop = 0;
    sys.FlushFileBuffers = [](HANDLE file) -> BOOL {
        AcquireSRWLockExclusive(&lock);
        int entry = entry_of.count(file) ? entry_of[file] : -2;
        ReleaseSRWLockExclusive(&lock);
        if (GetCurrentThreadId() == closed_on_loop_thread) ++flushed_on_loop;
        if (entry == 60) {
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }
        return real_sys.FlushFileBuffers(file);
    };
    closed_on_loop_thread = GetCurrentThreadId();
    Outcome outcome = extract();
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.standard_error.rfind("Error, couldn't unpack file to target path. ([Error 112] ", 0), 0u)
        << outcome.standard_error;
    EXPECT_EQ(flushed_on_loop, kClosesBeforeThreads);  // the rest on the closing threads
    EXPECT_EQ(closed_on.count(60), 1u);  // closed all the same
    // Every file closed carries the fixed write time.
    for (int i = 0; i < 40; ++i) {
        wchar_t name[64];
        swprintf(name, 64, L"\\d%d\\f%03d.txt", i % 4, i);
        WIN32_FILE_ATTRIBUTE_DATA data;
        ASSERT_TRUE(GetFileAttributesExW((target + name).c_str(), GetFileExInfoStandard, &data)) << i;
        uint64_t written = (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
        EXPECT_EQ(written, kCachedWriteTime) << i;
    }
    expect_nothing_left_open();
}

// A console event while files are being written (Wine cannot send one
// then; the handler runs on a thread of its own, as the system's would):
// the loop stops, every file is closed, and the clean-up removes the folder.
TEST_F(ClosingTest, AConsoleEventWhileUnpackingStopsTheLoopAndRemovesEverything) {
    static HANDLE handler_thread;
    handler_thread = nullptr;
    close_waits_for_open[30] = 35;  // closes still pending when the event comes
    sys.NtCreateFile = [](PHANDLE handle, DWORD access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                          PLARGE_INTEGER size, ULONG file_attributes, ULONG share, ULONG disposition, ULONG options,
                          PVOID ea, ULONG ea_length) -> NTSTATUS {
        std::wstring name(attributes->ObjectName->Buffer, attributes->ObjectName->Length / sizeof(wchar_t));
        if (number_of(name.c_str()) == 40 && handler_thread == nullptr) {
            handler_thread = CreateThread(nullptr, 0, [](void *) -> DWORD {
                return console_control_handler(CTRL_C_EVENT);
            }, nullptr, 0, nullptr);
            // The handler asks the loop to stop before it writes much more.
            while (!launcher_state.stop_requested) Sleep(1);
        }
        return create_file(handle, access, attributes, io, size, file_attributes, share, disposition, options, ea,
                           ea_length);
    };
    Outcome outcome = extract();
    EXPECT_EQ(outcome.ending, Ending::returned);
    EXPECT_EQ(ending, EntryLoopEnding::stopped);
    ASSERT_NE(handler_thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(handler_thread, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(handler_thread);
    EXPECT_TRUE(entry_of.empty()) << entry_of.size() << " files left open";
    EXPECT_EQ(closed_on.count(41), 0u);  // entry 40 was the last one opened
    EXPECT_FALSE(exists(target));
}

}  // namespace
