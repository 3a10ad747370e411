// The differential test's starter: runs a program with a command line given
// exactly, unit for unit, which a host shell cannot pass through Wine.
//   spawn RESULT APPLICATION HEXLINE...
// Each HEXLINE is a command line as UTF-16 units, four hex digits each. The
// lines run one after another with this program's standard handles and
// console; each one's exit code, all 32 bits, is appended to RESULT as a
// decimal line. With several lines, "<<end>>" goes to standard output after
// each, so their outputs can be told apart.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string>

namespace {

// Ctrl+C on the shared console is for the program being tested.
BOOL WINAPI keep_running(DWORD event) { return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT; }

std::wstring decode(const wchar_t *hex) {
    std::wstring line;
    for (size_t i = 0; hex[i] != 0 && hex[i + 1] != 0 && hex[i + 2] != 0 && hex[i + 3] != 0; i += 4) {
        wchar_t digits[5] = {hex[i], hex[i + 1], hex[i + 2], hex[i + 3], 0};
        line += static_cast<wchar_t>(wcstoul(digits, nullptr, 16));
    }
    return line;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc < 4) {
        fputs("usage: spawn RESULT APPLICATION HEXLINE...\n", stderr);
        return 2;
    }
    SetConsoleCtrlHandler(keep_running, TRUE);
    // Inherited: a crash ends the program with its status, without a debugger's report.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    FILE *result = _wfopen(argv[1], L"w");
    if (result == nullptr) return 2;
    for (int i = 3; i < argc; ++i) {
        std::wstring line = decode(argv[i]);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(argv[2], line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
            fprintf(result, "cannot start: %lu\n", GetLastError());
            return 2;
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        fprintf(result, "%lu\n", code);
        fflush(result);
        if (argc > 4) {
            DWORD written = 0;
            WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "<<end>>\n", 8, &written, nullptr);
        }
    }
    fclose(result);
    return 0;
}
