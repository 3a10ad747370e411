// The rebuilt command line, and the launch and wait, observed through the
// system-call table.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "run/child.h"
#include "run/child_job.h"
#include "run/cleanup.h"
#include "unpack/state.h"
#include "launcher/tests/support/cleanup_fixture.h"
#include "launcher/tests/support/seam.h"

namespace {

std::wstring command_line;
LPWSTR WINAPI fake_command_line() { return command_line.data(); }

std::wstring module_path() {
    wchar_t path[4096];
    GetModuleFileNameW(nullptr, path, 4096);
    return path;
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
    // The module path as the child's first element: quoted when it holds a space.
    static std::wstring head() {
        std::wstring path = module_path();
        return path.find_first_of(L" \t") == std::wstring::npos ? path : L"\"" + path + L"\"";
    }
    // The rebuilt line without its first element.
    std::wstring tail(const std::wstring &line) {
        std::wstring rebuilt = rebuild(line);
        EXPECT_EQ(rebuilt.substr(0, head().size()), head()) << "for " << testing::PrintToString(line);
        return rebuilt.substr(std::min(head().size(), rebuilt.size()));
    }
};

// Everything after the first element reaches the child as typed, spacing and
// quoting included; only where the first element ends is decided here.
TEST_F(CommandLineTest, TheTailPassesUnchanged) {
    EXPECT_EQ(tail(L"\"C:\\some where\\x.exe\" a  b"), L" a  b");   // quoted, with spaces: up to its quote
    EXPECT_EQ(tail(L"x.exe a"), L" a");                                // unquoted: up to the space
    EXPECT_EQ(tail(L"x.exe\ta\tb"), L"\ta\tb");                        // a tab ends it too
    EXPECT_EQ(tail(L"x.exe"), L"");                                    // no tail
    EXPECT_EQ(tail(L"\"x.exe\""), L"");
    EXPECT_EQ(tail(L"x.exe   "), L"   ");                              // a tail of spaces only
    EXPECT_EQ(tail(L"\"x y.exe\"z w"), L" z w");  // the quote ends it, not a space; a space keeps the tail apart
    EXPECT_EQ(tail(L"\"x.exe a b"), L"");                              // no closing quote: all of it is the name
    EXPECT_EQ(tail(L"C:\\a\"b c\".exe d"), L" c\".exe d");             // a quote inside an unquoted name
    // Lines that two splitters read differently stay as typed, so the
    // child's runtime reads what a plain program's runtime would.
    for (const wchar_t *typed : {L" \"a\"\"b\" x", L" \"\"\"\"", L" \"\"\"a b\"\"\"", L" \"a b\"\" c\"", L" a \"\" b",
                                 L" \\\"", L" C:\\dir\\ \"C:\\my dir\\\\\"", L" \"tab\there\" \"line\nfeed\" cr\rret"})
        EXPECT_EQ(tail(std::wstring(L"x.exe") + typed), typed);
}

// The bound holds for the rebuilt line: one that fits as typed fails when
// the module path is longer than the name it replaces.
TEST_F(CommandLineTest, LengthBound) {
    std::wstring filler(32767 - head().size() - 1, L'f');
    EXPECT_EQ(rebuild(L"x.exe " + filler).size(), 32767u);
    EXPECT_EQ(rebuild(L"x.exe " + filler + L"f"), L"<abort>");
    ASSERT_GT(head().size(), 5u);
    EXPECT_LT((L"x.exe " + filler + L"f").size(), 32767u);  // it fitted as the user typed it
}

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
    // No sweep: its thread would list C:\t beside the fake child.
    sys.CreateThread = [](LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD) -> HANDLE {
        return nullptr;
    };
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

// Inside a job (a CI runner's, a service's) the launcher makes no job of its
// own: the outer job governs the child. Outside one, the child's job is made
// as before, and so it is when the system will not say.
TEST_F(SeamTest, InsideAJobTheLauncherMakesNoJobOfItsOwn) {
    static int jobs_made;
    static BOOL in_job, answered;
    jobs_made = 0;
    sys.CreateJobObjectW = [](LPSECURITY_ATTRIBUTES, LPCWSTR) -> HANDLE { return ++jobs_made, nullptr; };
    sys.IsProcessInJob = [](HANDLE process, HANDLE job, PBOOL result) -> BOOL {
        EXPECT_EQ(process, GetCurrentProcess());
        EXPECT_EQ(job, nullptr);  // any job at all
        *result = in_job;
        return answered;
    };
    in_job = answered = TRUE;
    EXPECT_EQ(create_child_job(), nullptr);
    EXPECT_EQ(jobs_made, 0);
    in_job = FALSE;
    create_child_job();
    EXPECT_EQ(jobs_made, 1);
    answered = FALSE;
    create_child_job();
    EXPECT_EQ(jobs_made, 2);
}

}  // namespace
