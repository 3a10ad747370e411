// An example application for the onefile launcher: a DLL whose run_code
// prints what it was given and what lies beside it, then returns the exit
// code asked for with "--exit N".
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <initializer_list>

static void print_folder(const wchar_t *folder, const wchar_t *relative) {
    wchar_t pattern[4096];
    swprintf(pattern, 4096, L"%ls\\%ls*", folder, relative);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        wchar_t inner[4096];
        swprintf(inner, 4096, L"%ls%ls", relative, found.cFileName);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            wcscat(inner, L"\\");
            print_folder(folder, inner);
        } else {
            printf("    %ls (%lu bytes)\n", inner, found.nFileSizeLow);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

static void print_variable(const wchar_t *name) {
    wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    printf("  %-26ls %ls\n", name, length == 0 ? L"(not set)" : value);
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *library_path) {
    int exit_code = 0;
    printf("hello from the application (process %lu)\n", GetCurrentProcessId());
    printf("arguments (%d):\n", argc);
    for (int i = 0; i < argc; ++i) {
        printf("  [%d] %ls\n", i, argv[i]);
        if (wcscmp(argv[i], L"--exit") == 0 && i + 1 < argc) exit_code = static_cast<int>(wcstoul(argv[i + 1], nullptr, 0));
    }
    printf("library: %ls\n", library_path);
    printf("environment from the launcher:\n");
    for (const wchar_t *name : {L"TARVEN_ONEFILE_PARENT", L"TARVEN_ONEFILE_DIRECTORY", L"TARVEN_ORIGINAL_ARGV0",
                                L"TARVEN_ONEFILE_TIME_US", L"TARVEN_ONEFILE_RANDOM"})
        print_variable(name);
    wchar_t folder[4096];
    wcscpy(folder, library_path);
    if (wchar_t *cut = wcsrchr(folder, L'\\')) *cut = 0;
    printf("files beside the library in %ls:\n", folder);
    print_folder(folder, L"");
    wchar_t greeting_path[4096];
    swprintf(greeting_path, 4096, L"%ls\\data\\greeting.txt", folder);
    if (FILE *greeting = _wfopen(greeting_path, L"r")) {
        char line[256];
        if (fgets(line, sizeof line, greeting)) printf("data\\greeting.txt says: %s", line);
        fclose(greeting);
    }
    printf("returning exit code %d\n", exit_code);
    fflush(stdout);
    return exit_code;
}
