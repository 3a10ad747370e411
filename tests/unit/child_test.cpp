// The rebuilt command line, the launch and wait, and the clean-up with its
// console events, all observed through the system-call table.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "launcher/child.h"
#include "launcher/cleanup.h"
#include "unpack/state.h"
#include "tests/support/seam.h"

namespace {

std::wstring command_line;
LPWSTR WINAPI fake_command_line() { return command_line.data(); }

std::wstring module_path() {
    wchar_t path[4096];
    GetModuleFileNameW(nullptr, path, 4096);
    return path;
}

std::vector<std::wstring> split(const std::wstring &line) {
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(line.c_str(), &count);
    return std::vector<std::wstring>(arguments, arguments + count);
}

class CommandLineTest : public SeamTest {
protected:
    std::wstring rebuild(const std::wstring &line) {
        command_line = line;
        sys.GetCommandLineW = fake_command_line;
        std::wstring result;
        Outcome outcome = capture([&] { result = build_child_command_line(); });
        return outcome.ending == Ending::aborted ? L"<abort>" : result;
    }
    // The rebuilt line without its first element.
    std::wstring tail(const std::wstring &line) {
        std::wstring rebuilt = rebuild(line);
        std::wstring head = module_path();
        if (head.find_first_of(L" \t\"") != std::wstring::npos) head = L"\"" + head + L"\"";
        EXPECT_EQ(rebuilt.substr(0, head.size()), head);
        return rebuilt.substr(head.size());
    }
};

TEST_F(CommandLineTest, QuotingExamples) {
    EXPECT_EQ(tail(L"x.exe \"a b\""), L" \"a b\"");
    EXPECT_EQ(tail(L"x.exe \"say \\\"hi\\\"\""), L" \"say \\\"hi\\\"\"");
    EXPECT_EQ(tail(L"x.exe \"C:\\my dir\\\\\""), L" \"C:\\my dir\\\\\"");
    EXPECT_EQ(tail(L"x.exe C:\\dir\\"), L" C:\\dir\\");
    EXPECT_EQ(tail(L"x.exe \"a\\\\\\\\\\\"b\""), L" \"a\\\\\\\\\\\"b\"");  // a \\ " b -> five backslashes
    EXPECT_EQ(tail(L"x.exe \\\""), L" \"\\\"\"");                        // a lone double quote
    EXPECT_EQ(tail(L"x.exe a \"\" b"), L" a \"\" b");                      // the empty argument stays one
    EXPECT_EQ(tail(L"x.exe \"tab\there\" \"line\nfeed\" \"v\vt\" cr\rret"),
              L" \"tab\there\" \"line\nfeed\" \"v\vt\" cr\rret");
}

TEST_F(CommandLineTest, TheChildSplitsOutTheSameArguments) {
    const std::vector<std::wstring> arguments = {L"plain", L"with space", L"trailing\\", L"quote\"inside",
                                                 L"C:\\my dir\\", L"", L"\\\\server\\share", L"\u00e9\U0001F600", L"\t", L""};
    std::wstring line = L"\"C:\\some where\\x.exe\"";
    for (const std::wstring &a : arguments) {
        std::wstring quoted = L"\"";
        for (wchar_t c : a) quoted += c == L'"' ? std::wstring(L"\\\"") : std::wstring(1, c);
        if (!a.empty() && a.back() == L'\\') quoted += L'\\';
        line += L" " + quoted + L"\"";
    }
    std::vector<std::wstring> again = split(rebuild(line));
    ASSERT_EQ(again.size(), arguments.size() + 1);
    EXPECT_EQ(again[0], module_path());
    for (size_t i = 0; i < arguments.size(); ++i) EXPECT_EQ(again[i + 1], arguments[i]) << i;
}

TEST_F(CommandLineTest, LengthBound) {
    std::wstring head = module_path();
    size_t head_length = head.size() + (head.find(L' ') != std::wstring::npos ? 2 : 0);
    // head + space + filler = 32767 units fits; one more aborts.
    std::wstring filler(32767 - head_length - 1, L'f');
    EXPECT_EQ(rebuild(L"x.exe " + filler).size(), 32767u);
    EXPECT_EQ(rebuild(L"x.exe " + filler + L"f"), L"<abort>");
    sys.CommandLineToArgvW = [](LPCWSTR, int *) -> LPWSTR * { return nullptr; };
    EXPECT_EQ(rebuild(L"x.exe"), L"<abort>");
}

// ---- clean-up ----

std::vector<std::wstring> deletions;
int attributes_calls, sleeps, directory_checks_left;
std::vector<DWORD> waits;
std::vector<UINT> terminations;
DWORD wait_answer;
DWORD present_attributes;

// Each deletion attempt ends by removing the target directory itself.
BOOL WINAPI fake_remove_directory(LPCWSTR path) {
    deletions.push_back(path);
    return FALSE;
}
HANDLE WINAPI empty_folder(LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID, DWORD) {
    return INVALID_HANDLE_VALUE;
}
DWORD WINAPI fake_attributes(LPCWSTR) {
    ++attributes_calls;
    return directory_checks_left-- > 0 ? present_attributes : INVALID_FILE_ATTRIBUTES;
}
void WINAPI fake_sleep(DWORD ms) {
    EXPECT_EQ(ms, 100u);
    ++sleeps;
}
DWORD WINAPI fake_wait(HANDLE, DWORD ms) {
    waits.push_back(ms);
    return wait_answer;
}
BOOL WINAPI fake_terminate(HANDLE, UINT code) {
    terminations.push_back(code);
    return TRUE;
}

class CleanupTest : public SeamTest {
protected:
    void SetUp() override {
        deletions.clear();
        waits.clear();
        terminations.clear();
        attributes_calls = sleeps = 0;
        directory_checks_left = 0;
        present_attributes = FILE_ATTRIBUTE_DIRECTORY;
        wait_answer = WAIT_OBJECT_0;
        sys.RemoveDirectoryW = fake_remove_directory;
        sys.FindFirstFileExW = empty_folder;
        sys.GetFileAttributesW = fake_attributes;
        sys.Sleep = fake_sleep;
        sys.WaitForSingleObject = fake_wait;
        sys.TerminateProcess = fake_terminate;
        sys.CloseHandle = [](HANDLE) -> BOOL { return TRUE; };
        wcscpy(launcher_state.target_directory, L"C:\\t\\onefile_1_000001_AAAAAAAAAAA");
        launcher_state.extraction_started = true;
        launcher_state.shared_child_process = nullptr;
    }
};

TEST_F(CleanupTest, GoneAfterTheFirstAttempt) {
    cleanup_at_exit();
    EXPECT_EQ(deletions, std::vector<std::wstring>{L"\\\\?\\C:\\t\\onefile_1_000001_AAAAAAAAAAA"});
    EXPECT_EQ(sleeps, 0);
    EXPECT_TRUE(waits.empty());
}

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
    EXPECT_EQ(terminations, std::vector<UINT>{0});
    EXPECT_EQ(launcher_state.shared_child_process, nullptr);
    launcher_state.shared_child_process = reinterpret_cast<HANDLE>(0x44);
    wait_answer = WAIT_FAILED;
    cleanup_at_exit();
    EXPECT_EQ(terminations.size(), 2u);
}

TEST_F(CleanupTest, ConsoleEventsThatCleanUp) {
    for (DWORD event : {0u, 1u, 2u, 5u, 6u}) {
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
        std::thread control([] { console_control_handler(CTRL_C_EVENT); });
        release_shared_child_process();
        control.join();
        EXPECT_EQ(closes[duplicate], 1) << round;
        EXPECT_EQ(closes.count(child), 0u);
        real_sys.CloseHandle(child);
    }
    EXPECT_FALSE(closed_was_waited);
    DeleteCriticalSection(&closes_lock);
}

}  // namespace

namespace {

class LaunchTest : public CleanupTest {};

BOOL WINAPI failing_launch(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                           LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

STARTUPINFOW seen_startup;
DWORD seen_flags;
BOOL seen_inherit;
BOOL WINAPI recording_launch(LPCWSTR application, LPWSTR line, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                             BOOL inherit, DWORD flags, LPVOID environment, LPCWSTR directory,
                             LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process) {
    EXPECT_NE(application, nullptr);
    EXPECT_NE(line, nullptr);
    EXPECT_EQ(environment, nullptr);
    EXPECT_EQ(directory, nullptr);
    seen_startup = *startup;
    seen_flags = flags;
    seen_inherit = inherit;
    process->hProcess = reinterpret_cast<HANDLE>(0x70);
    process->hThread = reinterpret_cast<HANDLE>(0x74);
    return TRUE;
}

TEST_F(LaunchTest, FailedLaunchIsReportedAndLeavesTheFolder) {
    sys.CreateProcessW = failing_launch;
    Outcome outcome = capture([] { launch_child_and_wait(); });
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.standard_error.rfind("Error, couldn't launch child ([Error 2] ", 0), 0u) << outcome.standard_error;
    EXPECT_TRUE(deletions.empty());
}

TEST_F(LaunchTest, StartupValuesAndAnExitCodeThatCannotBeRead) {
    sys.CreateProcessW = recording_launch;
    sys.DuplicateHandle = [](HANDLE, HANDLE, HANDLE, LPHANDLE copy, DWORD, BOOL, DWORD) -> BOOL {
        *copy = reinterpret_cast<HANDLE>(0x78);
        return TRUE;
    };
    sys.GetExitCodeProcess = [](HANDLE, LPDWORD) -> BOOL { return FALSE; };
    unsigned code = 0;
    Outcome outcome = capture([&] { code = launch_child_and_wait(); });
    EXPECT_EQ(outcome.ending, Ending::returned);
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(seen_startup.cb, 104u);
    EXPECT_EQ(seen_startup.dwFlags, static_cast<DWORD>(STARTF_USESTDHANDLES));
    EXPECT_EQ(seen_startup.hStdOutput, GetStdHandle(STD_OUTPUT_HANDLE));
    EXPECT_EQ(seen_flags, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    EXPECT_TRUE(seen_inherit);
    EXPECT_EQ(waits, std::vector<DWORD>{INFINITE});  // the parent's own wait; the clean-up found no child
    EXPECT_EQ(deletions.size(), 1u);                 // the folder is removed after the child
    EXPECT_EQ(launcher_state.shared_child_process, nullptr);
}

}  // namespace
