// The progress window in this test process: a right-to-left product's name
// laid out right to left and shown as given, the bar following the bytes
// written, a close that cancels only before the application starts; and a
// window that cannot be made (a library or function missing, no thread)
// never stops the run. Windows exist under Wine through the prefix's null
// graphics driver.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "progress/progress_window.h"
#include "tests/support/files.h"
#include "launcher/tests/support/seam.h"
#include "unpack/state.h"

namespace {

class ProgressWindowTest : public SeamTest {
protected:
    void SetUp() override { reset_launcher_state(); }
    void TearDown() override {
        reset_progress_window();
        reset_launcher_state();
        SeamTest::TearDown();
    }
};

// ctest runs these tests side by side on one desktop: each test's window gets
// a title of its own, so that the lookup never finds another test's window.
std::wstring shown_title;

bool start_window(DWORD show_after_ms, const wchar_t *product, unsigned long long total) {
    shown_title = product;
    if (shown_title == L"Tool") {
        const char *test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        shown_title += L" ";
        for (const char *c = test; *c; ++c) shown_title += static_cast<wchar_t>(*c);
    }
    return start_progress_window(show_after_ms, shown_title.c_str(), total);
}

HWND progress_window() { return FindWindowW(TARVEN_PROGRESS_CLASS, shown_title.c_str()); }

TEST_F(ProgressWindowTest, RightToLeftNameFollowsTheBytesAndCancelsOnClose) {
    const wchar_t *product = L"\u05DB\u05DC\u05D9 \u05E2\u05D1\u05E8\u05D9 2";  // Hebrew, then a digit
    launcher_state.unpacked_bytes = 250;
    ASSERT_TRUE(start_window(0, product, 1000));
    HWND window = nullptr;
    ASSERT_TRUE(wait_for([&] { return (window = progress_window()) != nullptr; }, 10000));
    wchar_t title[64] = {0};
    GetWindowTextW(window, title, 64);
    EXPECT_EQ(std::wstring(title), product);
    EXPECT_TRUE(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_LAYOUTRTL);
    HWND bar = FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
    ASSERT_NE(bar, nullptr);
    int end = static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
    EXPECT_TRUE(wait_for([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) == end / 4; }, 5000));
    launcher_state.unpacked_bytes = 750;
    EXPECT_TRUE(wait_for([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) == end * 3 / 4; }, 5000));
    // The user closes it while the files are written: the loop is told to stop, nothing starts.
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(launcher_state.stop_requested);
    EXPECT_TRUE(progress_cancelled());
    EXPECT_FALSE(progress_allows_start());
    EXPECT_TRUE(wait_for([&] { return progress_window() == nullptr; }, 5000));
}

TEST_F(ProgressWindowTest, ClosedAfterTheApplicationStartedCancelsNothing) {
    ASSERT_TRUE(start_window(0, L"Tool", 0));  // total unknown: a bar without an end
    HWND window = nullptr;
    ASSERT_TRUE(wait_for([&] { return (window = progress_window()) != nullptr; }, 10000));
    EXPECT_FALSE(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_LAYOUTRTL);
    EXPECT_TRUE(progress_allows_start());
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(launcher_state.stop_requested);
    EXPECT_FALSE(progress_cancelled());
    EXPECT_TRUE(progress_allows_start());
}

// A console program (this test program is one): the window goes as soon as the application starts.
TEST_F(ProgressWindowTest, GoesWhenAConsoleApplicationStarts) {
    ASSERT_TRUE(start_window(0, L"Tool", 100));
    ASSERT_TRUE(wait_for([&] { return progress_window() != nullptr; }, 10000));
    EXPECT_TRUE(progress_allows_start());
    progress_follow_application(GetCurrentProcessId());
    EXPECT_TRUE(wait_for([&] { return progress_window() == nullptr; }, 5000));
}

// Unpacking that ends within the delay shows nothing and loads nothing for it.
TEST_F(ProgressWindowTest, NothingWhenUnpackingEndsFirst) {
    static int loads;
    loads = 0;
    sys.LoadLibraryExW = [](LPCWSTR name, HANDLE file, DWORD flags) -> HMODULE {
        ++loads;
        return real_sys.LoadLibraryExW(name, file, flags);
    };
    ASSERT_TRUE(start_window(300, L"Tool", 100));
    EXPECT_TRUE(progress_allows_start());
    reset_progress_window();
    EXPECT_EQ(loads, 0);
    EXPECT_EQ(progress_window(), nullptr);
}

TEST_F(ProgressWindowTest, AWindowThatCannotBeMadeNeverStopsTheRun) {
    static const char *missing;
    sys.GetProcAddress = [](HMODULE module, LPCSTR name) -> FARPROC {
        return strcmp(name, missing) == 0 ? nullptr : real_sys.GetProcAddress(module, name);
    };
    for (const char *name : {"CreateWindowExW", "InitCommonControlsEx", "CreateFontIndirectW", "SetTimer"}) {
        missing = name;
        ASSERT_TRUE(start_window(0, L"Tool", 100)) << name;
        Sleep(300);
        EXPECT_EQ(progress_window(), nullptr) << name;
        EXPECT_FALSE(launcher_state.stop_requested) << name;
        EXPECT_TRUE(progress_allows_start()) << name;
        reset_progress_window();
    }
    sys = real_sys;
    sys.LoadLibraryExW = [](LPCWSTR, HANDLE, DWORD) -> HMODULE { return nullptr; };
    ASSERT_TRUE(start_window(0, L"Tool", 100));
    Sleep(300);
    EXPECT_EQ(progress_window(), nullptr);
    EXPECT_TRUE(progress_allows_start());
    reset_progress_window();
    sys = real_sys;
    sys.CreateThread = [](LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD) -> HANDLE {
        return nullptr;
    };
    EXPECT_FALSE(start_progress_window(0, L"Tool", 100));
    EXPECT_TRUE(progress_allows_start());
}

}  // namespace
