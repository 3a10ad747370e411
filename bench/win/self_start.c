// The floor of the two-process design: a GUI program that starts its own
// executable once with the same standard handles and waits for it, as the
// launcher does, and nothing else. The child writes "ready" and ends; with
// "--load DLL" it instead loads DLL and calls its run_code, the other
// unavoidable step of a launcher that hands over to a library.
#include <windows.h>
#include <wchar.h>

#include "memory_report.h"

typedef int (*RunCode)(int, wchar_t **, const wchar_t *);

static int child(int argc, wchar_t **argv) {
    if (argc > 2 && wcscmp(argv[1], L"--load") == 0) {
        HMODULE library = LoadLibraryW(argv[2]);
        if (library == NULL) return 3;
        RunCode run_code = (RunCode)(void *)GetProcAddress(library, "run_code");
        if (run_code == NULL) return 4;
        return run_code(argc, argv, argv[2]);
    }
    bench_write("ready\n");
    for (int i = 1; i < argc; ++i)
        if (wcscmp(argv[i], L"memory") == 0) bench_report_memory_and_hold("child");
    return 0;
}

int wmain(int argc, wchar_t **argv) {
    if (GetEnvironmentVariableW(L"BENCH_SELF_START_CHILD", NULL, 0) != 0) return child(argc, argv);
    SetEnvironmentVariableW(L"BENCH_SELF_START_CHILD", L"1");
    wchar_t module[4096];
    if (GetModuleFileNameW(NULL, module, 4096) == 0) return 5;
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // CreateProcessW may write to the command line it is given.
    static wchar_t line[32768];
    wcsncpy(line, GetCommandLineW(), 32767);
    PROCESS_INFORMATION process;
    if (!CreateProcessW(module, line, NULL, NULL, TRUE, NORMAL_PRIORITY_CLASS, NULL, NULL, &startup,
                        &process))
        return 6;
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 7;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return (int)code;
}
