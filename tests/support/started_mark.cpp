// Tells the runner of the test programs under Wine (scripts/wine-run-test)
// that this program got past Wine's own start-up: before main it creates the
// file that TARVEN_TEST_STARTED names. The name leaves the environment at
// once, so nothing the tests start sees it. A program restarting itself as a
// standard user does so first: the restarted process is the one that runs
// the tests, and the one that marks.
#include <windows.h>

namespace {

constexpr wchar_t kVariable[] = L"TARVEN_TEST_STARTED";

struct StartedMark {
    StartedMark() {
        static wchar_t path[32768];
        DWORD length = GetEnvironmentVariableW(kVariable, path, 32768);
        if (length == 0 || length >= 32768) return;
        SetEnvironmentVariableW(kVariable, nullptr);
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
} started_mark;

}  // namespace
