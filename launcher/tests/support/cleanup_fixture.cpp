// The clean-up's fakes (see cleanup_fixture.h).
#include "launcher/tests/support/cleanup_fixture.h"

#include <wchar.h>

#include "unpack/state.h"

std::vector<std::wstring> deletions;
int attributes_calls, sleeps, directory_checks_left;
std::vector<DWORD> waits;
std::vector<UINT> terminations;
DWORD wait_answer;
DWORD present_attributes;
ULONGLONG clock_ms;

// Each deletion attempt opens the target's parent folder, then looks for
// the target's name in it, which the fake does not find.
static std::wstring opened_parent;
static const HANDLE kParentHandle = reinterpret_cast<HANDLE>(0x5150);
static HANDLE WINAPI fake_open(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE model) {
    if (wcsncmp(path, L"\\\\?\\C:\\t\\", 9) != 0)
        return real_sys.CreateFileW(path, access, share, security, disposition, flags, model);
    opened_parent = path;
    return kParentHandle;
}
static NTSTATUS WINAPI fake_listing(HANDLE folder, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG,
                                    BOOLEAN, PUNICODE_STRING mask, BOOLEAN) {
    EXPECT_EQ(folder, kParentHandle);
    if (mask != nullptr) deletions.push_back(opened_parent + std::wstring(mask->Buffer, mask->Length / 2));
    return static_cast<NTSTATUS>(0xC000000Fu);  // STATUS_NO_SUCH_FILE
}
static DWORD WINAPI fake_attributes(LPCWSTR) {
    ++attributes_calls;
    return directory_checks_left-- > 0 ? present_attributes : INVALID_FILE_ATTRIBUTES;
}
static void WINAPI fake_sleep(DWORD ms) {
    EXPECT_EQ(ms, 100u);
    ++sleeps;
    clock_ms += ms;
}
static DWORD WINAPI fake_wait(HANDLE, DWORD ms) {
    waits.push_back(ms);
    return wait_answer;
}
static BOOL WINAPI fake_terminate(HANDLE, UINT code) {
    terminations.push_back(code);
    return TRUE;
}

void CleanupTest::SetUp() {
        deletions.clear();
        waits.clear();
        terminations.clear();
        attributes_calls = sleeps = 0;
        directory_checks_left = 0;
        present_attributes = FILE_ATTRIBUTE_DIRECTORY;
        wait_answer = WAIT_OBJECT_0;
        sys.CreateFileW = fake_open;
        sys.NtQueryDirectoryFile = fake_listing;
        sys.GetFileAttributesW = fake_attributes;
        sys.Sleep = fake_sleep;
        clock_ms = 1000;
        sys.GetTickCount64 = []() -> ULONGLONG { return clock_ms; };
        sys.WaitForSingleObject = fake_wait;
        sys.TerminateProcess = fake_terminate;
        sys.CloseHandle = [](HANDLE) -> BOOL { return TRUE; };
        // The launch's fake child is no process: the system's job calls must never see its handle.
        sys.CreateJobObjectW = [](LPSECURITY_ATTRIBUTES, LPCWSTR) -> HANDLE { return nullptr; };
        wcscpy(launcher_state.target_directory, L"C:\\t\\onefile_1_000001_AAAAAAAAAAA");
        launcher_state.extraction_started = true;
        launcher_state.shared_child_process = nullptr;
        launcher_state.child_started = false;
}

