// The application packed for the benchmarks. run_code writes "ready" to
// standard output first thing: the driver times the arrival of that line.
// Its arguments ask for more, after that line:
//   memory  report this process's memory, then wait for standard input to end
//   count   print the number of files and bytes unpacked beside the library
//   endmark print "end_qpc=" and the performance counter last, just before returning
#include <windows.h>
#include <wchar.h>

#include "memory_report.h"

static void count_tree(const wchar_t *folder, unsigned long long *files, unsigned long long *bytes) {
    wchar_t pattern[4096];
    _snwprintf(pattern, 4096, L"%ls\\*", folder);
    pattern[4095] = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            wchar_t inner[4096];
            _snwprintf(inner, 4096, L"%ls\\%ls", folder, found.cFileName);
            inner[4095] = 0;
            count_tree(inner, files, bytes);
        } else {
            *files += 1;
            *bytes += ((unsigned long long)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

__attribute__((dllexport)) int run_code(int argc, wchar_t **argv, const wchar_t *library) {
    bench_write("ready\n");
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], L"memory") == 0) bench_report_memory_and_hold("child");
        if (wcscmp(argv[i], L"count") == 0) {
            wchar_t folder[4096];
            wcsncpy(folder, library, 4095);
            folder[4095] = 0;
            wchar_t *last = wcsrchr(folder, L'\\');
            if (last != NULL) *last = 0;
            unsigned long long files = 0, bytes = 0;
            count_tree(folder, &files, &bytes);
            char line[128];
            snprintf(line, sizeof line, "files=%llu bytes=%llu\n", files, bytes);
            bench_write(line);
        }
    }
    for (int i = 1; i < argc; ++i)
        if (wcscmp(argv[i], L"endmark") == 0) {
            LARGE_INTEGER now;
            QueryPerformanceCounter(&now);
            char line[64];
            snprintf(line, sizeof line, "end_qpc=%lld\n", now.QuadPart);
            bench_write(line);
        }
    return 0;
}
