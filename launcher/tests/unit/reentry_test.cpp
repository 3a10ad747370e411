// Re-entry detection: the parent's image path, read from its memory or,
// where that is refused, named by the system; parents with long paths.
#include <gtest/gtest.h>

#include <string>

#include "run/reentry.h"
#include "paths/identity.h"
#include "launcher/tests/support/seam.h"

namespace {

// The parent's image path, read from its memory or, where that is refused, named by the system.
class ReentryTest : public SeamTest {
protected:
    void SetUp() override {
        forget_own_executable_paths();
        SetEnvironmentVariableW(L"TARVEN_ONEFILE_PARENT", L"4321");
        sys.CloseHandle = [](HANDLE) -> BOOL { return TRUE; };
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"TARVEN_ONEFILE_PARENT", nullptr);
        SeamTest::TearDown();
        forget_own_executable_paths();
    }
};

HANDLE WINAPI opens_with_any_access(DWORD, BOOL, DWORD id) {
    EXPECT_EQ(id, 4321u);
    return reinterpret_cast<HANDLE>(0x99);
}
HANDLE WINAPI opens_only_limited(DWORD access, BOOL, DWORD) {
    return (access & PROCESS_VM_READ) == 0 ? reinterpret_cast<HANDLE>(0x99) : nullptr;
}
DWORD WINAPI memory_refused(HANDLE, HMODULE, LPWSTR, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}
BOOL WINAPI names_this_executable(HANDLE, DWORD, LPWSTR path, DWORD *size) {
    *size = GetModuleFileNameW(nullptr, path, *size);
    return TRUE;
}
BOOL WINAPI names_nothing(HANDLE, DWORD, LPWSTR, DWORD *) { return FALSE; }

TEST_F(ReentryTest, ParentWhoseMemoryCannotBeReadIsStillRecognised) {
    sys.OpenProcess = opens_with_any_access;
    sys.K32GetModuleFileNameExW = memory_refused;
    sys.QueryFullProcessImageNameW = names_this_executable;
    sys.GetExitCodeProcess = [](HANDLE, LPDWORD code) -> BOOL { return *code = STILL_ACTIVE, TRUE; };
    EXPECT_TRUE(detect_reentry());
    sys.OpenProcess = opens_only_limited;
    EXPECT_TRUE(detect_reentry());
    // Its image is still named after it ended, while a handle keeps it: that is no parent.
    sys.GetExitCodeProcess = [](HANDLE, LPDWORD code) -> BOOL { return *code = 0, TRUE; };
    EXPECT_FALSE(detect_reentry());
    sys.GetExitCodeProcess = [](HANDLE, LPDWORD code) -> BOOL { return *code = STILL_ACTIVE, TRUE; };
    sys.QueryFullProcessImageNameW = names_nothing;
    EXPECT_FALSE(detect_reentry());
    sys.OpenProcess = [](DWORD, BOOL, DWORD) -> HANDLE { return nullptr; };
    EXPECT_FALSE(detect_reentry());
}

// A child must recognise a parent whose path is as long as its own path may
// be; one that does not becomes a parent and starts yet another child.
std::wstring long_path;
DWORD copy_long_path(LPWSTR buffer, DWORD capacity) {
    DWORD length = static_cast<DWORD>(long_path.size());
    if (length >= capacity) length = capacity - 1;  // cut short, as the system does
    wmemcpy(buffer, long_path.c_str(), length);
    buffer[length] = 0;
    return length;
}

TEST_F(ReentryTest, ParentsWithLongPathsAreRecognised) {
    sys.OpenProcess = opens_with_any_access;
    sys.GetModuleFileNameW = [](HMODULE, LPWSTR buffer, DWORD capacity) { return copy_long_path(buffer, capacity); };
    sys.K32GetModuleFileNameExW = [](HANDLE, HMODULE, LPWSTR buffer, DWORD capacity) {
        return copy_long_path(buffer, capacity);
    };
    sys.CreateFileW = [](LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
        return INVALID_HANDLE_VALUE;
    };
    sys.GetShortPathNameW = [](LPCWSTR, LPWSTR, DWORD) -> DWORD { return 0; };
    for (size_t length : {2047u, 2048u, 2049u, 4095u, 4096u}) {
        long_path = L"C:\\" + std::wstring(length - 12, L'd') + L"\\tool.exe";
        ASSERT_EQ(long_path.size(), length);
        forget_own_executable_paths();
        EXPECT_TRUE(detect_reentry()) << length;
    }
}

}  // namespace
