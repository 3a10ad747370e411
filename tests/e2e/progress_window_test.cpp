// The progress window of an executable packed with --progress-window, seen
// from outside as a user's desktop would: this test program finds the
// launcher's window while a slow payload (4,000 files) unpacks, reads its
// title, text and bar, sees the bar rise and the window give way to the
// application's own; closing it cancels the run. Packed without the switch,
// the same payload shows no window. Under Wine the prefix's null graphics
// driver gives windows without a display; Wine has no foreground rules to
// break, so that the window never activates is read from its styles.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "tests/e2e/launch.h"
#include "tests/support/files.h"

namespace {

constexpr wchar_t kProgressClass[] = L"TarvenProgressWindow";

struct Started {
    HANDLE process = nullptr;
    DWORD id = 0;
};

Started start(const std::wstring &exe, const std::wstring &arguments, const std::wstring &temp) {
    std::wstring line = L"\"" + packed(exe) + L"\" " + arguments;
    std::wstring block = environment_block({{L"TEMP", temp}, {L"TMP", temp}});
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessW(packed(exe).c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                               block.data(), nullptr, &startup, &process))
        << GetLastError();
    CloseHandle(process.hThread);
    return {process.hProcess, process.dwProcessId};
}

DWORD exit_code_of(HANDLE process) {
    EXPECT_EQ(WaitForSingleObject(process, 120000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

struct Search {
    DWORD process_id;
    const wchar_t *class_name;  // null: any window
    HWND found;
};

BOOL CALLBACK match(HWND window, LPARAM context) {
    Search *search = reinterpret_cast<Search *>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[64] = {0};
    GetClassNameW(window, name, 64);
    if (owner == search->process_id && (search->class_name == nullptr || wcscmp(name, search->class_name) == 0)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// A top-level window of process `id` of the class (any class when null).
HWND window_of(DWORD id, const wchar_t *class_name = kProgressClass) {
    Search search = {id, class_name, nullptr};
    EnumWindows(match, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring text_of(HWND window) {
    wchar_t text[512] = {0};
    GetWindowTextW(window, text, 512);
    return text;
}

// Folders the launcher unpacked into that are still there.
std::vector<std::wstring> unpacked_folders(const std::wstring &temp) {
    std::vector<std::wstring> left;
    for (const std::wstring &name : list_folder(temp))
        if (name.rfind(L"onefile_", 0) == 0) left.push_back(name);
    return left;
}

// Starts `exe` with TEMP a fresh folder and `command` followed by the
// report's path (the application writes it when it runs), then waits for
// the launcher's progress window to be shown.
struct Watched {
    std::wstring temp, report;
    Started run;
    HWND window = nullptr;
};

Watched start_watched(const std::wstring &exe, const std::wstring &command, const std::wstring &more = L"") {
    Watched watched;
    watched.temp = scratch_folder(L"progress");
    watched.report = watched.temp + L"\\report.txt";
    watched.run = start(exe, command + L" \"" + watched.report + L"\"" + more, watched.temp);
    HWND &window = watched.window;
    EXPECT_TRUE(wait_for([&] { return (window = window_of(watched.run.id)) != nullptr && IsWindowVisible(window); },
                         60000))
        << "no window";
    return watched;
}

TEST(ProgressWindow, ShowsTheBytesWrittenThenGivesWayToTheApplication) {
    Watched watched = start_watched(L"progress.exe", L"window", L" 6000");
    const std::wstring &temp = watched.temp, &report = watched.report;
    const Started &run = watched.run;
    HWND window = watched.window;
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(text_of(window), L"Progress Probe");
    HWND line = FindWindowExW(window, nullptr, L"Static", L"Unpacking Progress Probe\u2026");
    EXPECT_NE(line, nullptr) << "no line naming the product";
    HWND bar = FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
    ASSERT_NE(bar, nullptr);
    // Never activated, on the taskbar, and not in the foreground.
    LONG_PTR extended = GetWindowLongPtrW(window, GWL_EXSTYLE);
    EXPECT_TRUE(extended & WS_EX_NOACTIVATE);
    EXPECT_FALSE(extended & WS_EX_LAYOUTRTL);
    EXPECT_NE(GetForegroundWindow(), window);
    // The bar's position while the files are written: it only rises, and rises.
    int end = static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
    std::vector<int> positions;
    while (IsWindow(window) && !exists(report)) {
        int position = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
        if (positions.empty() || positions.back() != position) positions.push_back(position);
        Sleep(20);
    }
    ASSERT_GE(positions.size(), 2u) << "the bar did not move";
    for (size_t i = 1; i < positions.size(); ++i) EXPECT_GT(positions[i], positions[i - 1]);
    EXPECT_LE(positions.back(), end);
    // The application shows its window: the launcher's goes, well before its
    // five seconds after unpacking would be up.
    ASSERT_TRUE(wait_for([&] { return FindWindowW(L"TarvenProbeWindow", nullptr) != nullptr; }, 60000));
    ULONGLONG application_shown = GetTickCount64();
    EXPECT_TRUE(wait_for([&] { return !IsWindow(window); }, 10000)) << "the window stayed";
    EXPECT_LT(GetTickCount64() - application_shown, 3000u);
    EXPECT_TRUE(FindWindowW(L"TarvenProbeWindow", nullptr) != nullptr) << "the application ended first";
    EXPECT_EQ(exit_code_of(run.process), 0u);
    EXPECT_EQ(unpacked_folders(temp), std::vector<std::wstring>{});
}

// Closed while the files are written, in the default mode and in the cached
// mode's first start: the application never runs, the folder being unpacked
// is removed (the cached mode publishes nothing), the exit code is 1223.
TEST(ProgressWindow, ClosingItCancelsTheRun) {
    Watched plain = start_watched(L"progress.exe", L"report");
    ASSERT_NE(plain.window, nullptr);
    EXPECT_EQ(unpacked_folders(plain.temp).size(), 1u);
    PostMessageW(plain.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(exit_code_of(plain.run.process), static_cast<DWORD>(ERROR_CANCELLED));
    EXPECT_EQ(unpacked_folders(plain.temp), std::vector<std::wstring>{});
    EXPECT_FALSE(exists(plain.report)) << "the application ran";

    Watched cached = start_watched(L"progress-cached.exe", L"report");
    ASSERT_NE(cached.window, nullptr);
    std::wstring product = cached.temp + L"\\progress-cached";
    EXPECT_EQ(list_folder(product).size(), 1u) << "no folder being unpacked";
    PostMessageW(cached.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(exit_code_of(cached.run.process), static_cast<DWORD>(ERROR_CANCELLED));
    EXPECT_EQ(list_folder(product), std::vector<std::wstring>{});
    EXPECT_FALSE(exists(cached.report)) << "the application ran";
}

TEST(ProgressWindow, NoWindowWithoutTheSwitch) {
    std::wstring temp = scratch_folder(L"progress-none");
    std::wstring report = temp + L"\\report.txt";
    Started run = start(L"progress-none.exe", L"report \"" + report + L"\"", temp);
    // Looked for during the whole of the slow unpacking, until the application ran.
    bool any_window = false;
    while (WaitForSingleObject(run.process, 5) == WAIT_TIMEOUT)
        if (window_of(run.id, nullptr) != nullptr) any_window = true;
    EXPECT_FALSE(any_window);
    EXPECT_EQ(exit_code_of(run.process), 0u);
    EXPECT_TRUE(exists(report));
}

}  // namespace
