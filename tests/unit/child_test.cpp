// The rebuilt command line, and the launch and wait, observed through the
// system-call table.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "launcher/child.h"
#include "launcher/child_job.h"
#include "launcher/cleanup.h"
#include "unpack/state.h"
#include "tests/support/cleanup_fixture.h"
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
