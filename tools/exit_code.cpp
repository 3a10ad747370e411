// Runs a Windows program and prints its whole 32-bit exit code, which the
// Linux exit status of Wine cuts to 8 bits: exit-code PROGRAM [ARGS...]
#include <windows.h>

#include <stdio.h>
#include <string>

int wmain(int argc, wchar_t **argv) {
    if (argc < 2) {
        fputs("usage: exit-code PROGRAM [ARGS...]\n", stderr);
        return 2;
    }
    // Everything after our own name, exactly as it was typed.
    std::wstring line = GetCommandLineW();
    size_t start = line[0] == L'"' ? line.find(L'"', 1) + 1 : line.find(L' ');
    line = line.substr(line.find_first_not_of(L" \t", start));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        fprintf(stderr, "exit-code: cannot start %ls (error %lu)\n", argv[1], GetLastError());
        return 2;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    printf("exit code: %lu (0x%08lX)\n", code, code);
    return 0;
}
