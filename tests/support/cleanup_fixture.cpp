// The clean-up's fakes (see cleanup_fixture.h).
#include "tests/support/cleanup_fixture.h"

#include "unpack/state.h"

std::vector<std::wstring> deletions;
int attributes_calls, sleeps, directory_checks_left;
std::vector<DWORD> waits;
std::vector<UINT> terminations;
DWORD wait_answer;
DWORD present_attributes;

// Each deletion attempt ends by removing the target directory itself.
static BOOL WINAPI fake_remove_directory(LPCWSTR path) {
    deletions.push_back(path);
    return FALSE;
}
static HANDLE WINAPI empty_folder(LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID, DWORD) {
    return INVALID_HANDLE_VALUE;
}
static DWORD WINAPI fake_attributes(LPCWSTR) {
    ++attributes_calls;
    return directory_checks_left-- > 0 ? present_attributes : INVALID_FILE_ATTRIBUTES;
}
static void WINAPI fake_sleep(DWORD ms) {
    EXPECT_EQ(ms, 100u);
    ++sleeps;
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
        sys.RemoveDirectoryW = fake_remove_directory;
        sys.FindFirstFileExW = empty_folder;
        sys.GetFileAttributesW = fake_attributes;
        sys.Sleep = fake_sleep;
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

