// The launcher under a simulated real-time scanner, for the benchmark only:
// the launcher's own run sequence behind entry points that first change two
// entries of its system-call table, so that closing a file opened for
// writing costs 1 ms more. On Windows a scanner inspects a written file when
// it is closed and the closing thread waits for it; Wine has no scanner.
// Linked with the launcher's archive and slots as the launcher images are
// (bench/CMakeLists.txt), and carried by a packer built for the benchmark.
#include <windows.h>
#include <stdlib.h>

#include "run/run.h"
#include "system/syscalls.h"

namespace {

// Files open for writing: the entry loop keeps a bounded number open at once.
constexpr int kTracked = 1024;
HANDLE written[kTracked];
SRWLOCK lock = SRWLOCK_INIT;

HANDLE WINAPI create_file(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                          DWORD flags, HANDLE model) {
    HANDLE file = real_sys.CreateFileW(path, access, share, security, disposition, flags, model);
    if (file == INVALID_HANDLE_VALUE || (access & GENERIC_WRITE) == 0) return file;
    AcquireSRWLockExclusive(&lock);
    for (HANDLE &slot : written)
        if (slot == nullptr) {
            slot = file;
            break;
        }
    ReleaseSRWLockExclusive(&lock);
    return file;
}

BOOL WINAPI close_handle(HANDLE handle) {
    bool was_written = false;
    AcquireSRWLockExclusive(&lock);
    for (HANDLE &slot : written)
        if (slot == handle) {
            slot = nullptr;
            was_written = true;
            break;
        }
    ReleaseSRWLockExclusive(&lock);
    // The scan: the closing thread waits, the processor is free.
    if (was_written) Sleep(1);
    return real_sys.CloseHandle(handle);
}

unsigned run_scanned(int count, wchar_t **values) {
    sys.CreateFileW = create_file;
    sys.CloseHandle = close_handle;
    return run_launcher(ArgumentVector{count, values});
}

}  // namespace

// Both entry points, as the launcher's own (launcher/run/main.cpp, then not linked).
int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return static_cast<int>(run_scanned(__argc, __wargv)); }
int wmain(int argc, wchar_t **argv) { return static_cast<int>(run_scanned(argc, argv)); }
