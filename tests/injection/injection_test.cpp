// Failure injection over the whole run sequence of a parent: every system
// call the launcher makes is, in turn, made to fail at each of its uses.
// Whatever fails, the launcher ends with a message and exit code 2, with the
// fail-fast status, or goes on by its documented fallback; it never reports
// success without the application's files in place, and never removes
// anything but its own target folder.
//
// The run is real (real files below a scratch folder) except for the child:
// starting this test program again is replaced by a fake launch whose wait
// takes a snapshot of the target folder, where the child would run.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "unpack/extract.h"
#include "launcher/remove_tree.h"
#include "launcher/run.h"
#include "unpack/state.h"
#include "paths/identity.h"
#include "tests/e2e/launch.h"
#include "tests/support/files.h"
#include "tests/support/seam.h"

namespace {

// Per table entry: calls so far, the call to fail (0: none) and the failure value.
struct Site {
    const char *name;
    int calls = 0;
    int fail_at = 0;
    std::function<void()> install;
};
std::vector<Site *> sites;

template <auto Member> struct Counter {
    static inline Site site;
};

template <auto Member, typename Result> struct Failure {
    static inline Result value;
};

template <auto Member> struct Injected;
template <typename R, typename... A, R (*SystemCalls::*Member)(A...)> struct Injected<Member> {
    static R call(A... arguments) {
        Site &site = Counter<Member>::site;
        if (++site.calls == site.fail_at) {
            SetLastError(ERROR_ACCESS_DENIED);
            return Failure<Member, R>::value;
        }
        return (real_sys.*Member)(arguments...);
    }
};

template <auto Member, typename R> void add_site(const char *name, R failure) {
    Failure<Member, R>::value = failure;
    Site &site = Counter<Member>::site;
    site.name = name;
    site.install = [] { sys.*Member = Injected<Member>::call; };
    sites.push_back(&site);
}

// Every call of the list, but those it says the injection leaves out.
#define TARVEN_INJECTED_CALL(name, returns, parameters, real, failure) add_site<&SystemCalls::name>(#name, failure);
#define TARVEN_LEFT_OUT_CALL(name, returns, parameters, real, why)

void register_sites() {
    if (!sites.empty()) return;
    TARVEN_SYSTEM_CALLS(TARVEN_INJECTED_CALL, TARVEN_LEFT_OUT_CALL)
}

// The application's files as the payload holds them (tests/data/make_streams.py "chunks").
const std::map<std::wstring, std::string> kExpected = {
    {L"empty", ""}, {L"d\\exact", std::string(32768, 'x')}, {L"d\\e\\over", std::string(32769, 'y')}};

bool child_saw_its_files;
std::wstring scratch;

// The fake child: "runs" while the parent waits, and sees what was extracted.
BOOL WINAPI fake_launch(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                        LPSTARTUPINFOW, LPPROCESS_INFORMATION process) {
    child_saw_its_files = read_tree(launcher_state.target_directory) == kExpected;
    process->hProcess = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // a signalled object to wait on
    process->hThread = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    process->dwProcessId = 1;
    return TRUE;
}
BOOL WINAPI child_exit_code(HANDLE, LPDWORD code) {
    *code = 0;
    return TRUE;
}

struct Result {
    Outcome outcome;
    unsigned exit_code = 0;
};

Result run_once() {
    for (const wchar_t *name : {L"TARVEN_ONEFILE_PARENT", L"TARVEN_ONEFILE_TIME_US", L"TARVEN_ONEFILE_RANDOM",
                                L"TARVEN_ONEFILE_START"})
        SetEnvironmentVariableW(name, nullptr);
    reset_launcher_state();
    child_saw_its_files = false;
    static wchar_t program[] = L"launcher.exe";
    static wchar_t *argv[] = {program, nullptr};
    Result result;
    result.outcome = capture([&] { result.exit_code = run_launcher(ArgumentVector{1, argv}); });
    return result;
}

class InjectionTest : public SeamTest {
protected:
    void SetUp() override {
        register_sites();
        scratch = scratch_folder(L"injection");
        SetEnvironmentVariableW(L"TMP", scratch.c_str());
        SetEnvironmentVariableW(L"TEMP", scratch.c_str());
        // Things that are not the launcher's: beside its folder, and its current directory.
        CreateDirectoryW((scratch + L"\\user").c_str(), nullptr);
        CloseHandle(CreateFileW((scratch + L"\\user\\keep.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                nullptr));
        GetCurrentDirectoryW(MAX_PATH, previous_directory);
        SetCurrentDirectoryW((scratch + L"\\user").c_str());
    }
    void TearDown() override {
        SetCurrentDirectoryW(previous_directory);
        SeamTest::TearDown();
    }
    void use_fakes() {
        sys.CreateProcessW = fake_launch;
        sys.GetExitCodeProcess = child_exit_code;
    }
    wchar_t previous_directory[MAX_PATH];
};

TEST_F(InjectionTest, CleanRunExtractsLaunchesAndRemoves) {
    use_fakes();
    Result result = run_once();
    ASSERT_EQ(result.outcome.ending, Ending::returned) << result.outcome.standard_output << result.outcome.standard_error;
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_TRUE(child_saw_its_files);
    EXPECT_EQ(list_folder(scratch), std::vector<std::wstring>{L"user"});
}

// Registration fails before anything is unpacked: one line on standard output.
TEST_F(InjectionTest, HandlerThatCannotBeRegistered) {
    use_fakes();
    sys.SetConsoleCtrlHandler = [](PHANDLER_ROUTINE, BOOL) -> BOOL { return FALSE; };
    Result result = run_once();
    EXPECT_EQ(result.outcome.ending, Ending::exited);
    EXPECT_EQ(result.outcome.exit_code, 2);
    EXPECT_EQ(result.outcome.standard_output, "Error, failed to register signal handler.\n");
    EXPECT_EQ(result.outcome.standard_error, "");
    EXPECT_EQ(list_folder(scratch), std::vector<std::wstring>{L"user"});
}

TEST_F(InjectionTest, EveryCallFailingAtEachUse) {
    // A clean run counts the uses of each call.
    std::map<std::string, int> uses;
    for (Site *site : sites) {
        site->calls = 0;
        site->fail_at = 0;
        site->install();
    }
    use_fakes();
    for (Site *site : sites) site->calls = 0;
    ASSERT_EQ(run_once().outcome.ending, Ending::returned);
    for (Site *site : sites) uses[site->name] = site->calls;

    int injected = 0;
    std::map<std::string, int> endings;
    for (Site *site : sites) {
        for (int use = 1; use <= uses[site->name]; ++use) {
            for (Site *other : sites) other->calls = other->fail_at = 0;
            site->fail_at = use;
            Result result = run_once();
            ++injected;
            std::string where = std::string(site->name) + " failing at use " + std::to_string(use);
            const Outcome &outcome = result.outcome;
            switch (outcome.ending) {
            case Ending::exited: {
                ++endings["message and exit 2"];
                EXPECT_EQ(outcome.exit_code, 2) << where;
                std::string line = outcome.standard_output + outcome.standard_error;
                EXPECT_EQ(line.rfind("Error, ", 0), 0u) << where << ": " << line;
                EXPECT_EQ(line.find('\n'), line.size() - 1) << where << ": one line";
                break;
            }
            case Ending::aborted: ++endings["fail-fast"]; break;
            case Ending::returned:
                ++endings["fallback"];
                // Success is only ever reported for a child that had its files.
                if (result.exit_code == 0) EXPECT_TRUE(child_saw_its_files) << where;
                else EXPECT_EQ(result.exit_code, 1u) << where;  // the child's exit code could not be read
                break;
            }
            // Nothing but the launcher's own folder is ever removed.
            EXPECT_EQ(read_tree(scratch + L"\\user"), (std::map<std::wstring, std::string>{{L"keep.txt", ""}})) << where;
            for (const std::wstring &name : list_folder(scratch))
                if (name != L"user") {
                    std::wstring left = scratch + L"\\" + name;
                    for (Site *other : sites) other->fail_at = 0;
                    remove_directory_tree(left.c_str());
                }
        }
    }
    printf("injected %d failures over %zu calls: %d message and exit 2, %d fail-fast, %d fallback\n", injected,
           sites.size(), endings["message and exit 2"], endings["fail-fast"], endings["fallback"]);
    EXPECT_GT(injected, 50);
}

}  // namespace
