// The differential test's starter: runs a program with a command line given
// exactly, unit for unit, which a host shell cannot pass through Wine.
//   spawn RESULT APPLICATION LINES
// LINES is a file of command lines, one per text line, each as UTF-16 units
// of four hex digits: in a file, since together they may pass the 32,767
// units of this program's own command line. The lines run one after another
// with this program's standard handles and console; each one's exit code,
// all 32 bits, is appended to RESULT as a decimal line. With several lines,
// "<<end>>" goes to standard output after each, so their outputs can be told
// apart.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

#include "tests/support/wine_starts.h"

namespace {

// Ctrl+C on the shared console is for the program being tested.
BOOL WINAPI keep_running(DWORD event) { return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT; }

std::wstring decode(const std::string &hex) {
    std::wstring line;
    for (size_t i = 0; i + 4 <= hex.size(); i += 4)
        line += static_cast<wchar_t>(strtoul(hex.substr(i, 4).c_str(), nullptr, 16));
    return line;
}

// The command lines of LINES; false when it cannot be read.
bool read_lines(const wchar_t *path, std::vector<std::wstring> *lines) {
    FILE *file = _wfopen(path, L"rb");
    if (file == nullptr) return false;
    std::string hex;
    for (int c = fgetc(file);; c = fgetc(file)) {
        if (c == EOF || c == '\n') {
            if (c == '\n' || !hex.empty()) lines->push_back(decode(hex));
            hex.clear();
            if (c == EOF) break;
        } else if (c != '\r') {
            hex += static_cast<char>(c);
        }
    }
    fclose(file);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    std::vector<std::wstring> lines;
    if (argc != 4) {
        fputs("usage: spawn RESULT APPLICATION LINES\n", stderr);
        return 2;
    }
    if (!read_lines(argv[3], &lines)) {
        fprintf(stderr, "spawn: cannot read %ls\n", argv[3]);
        return 2;
    }
    SetConsoleCtrlHandler(keep_running, TRUE);
    // Inherited: a crash ends the program with its status, without a debugger's report.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    FILE *result = _wfopen(argv[1], L"w");
    if (result == nullptr) {
        fprintf(stderr, "spawn: cannot write %ls\n", argv[1]);
        return 2;
    }
    for (std::wstring &line : lines) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION process = {};
        BOOL started = create_process_despite_wine([&] {
            std::wstring copy = line;  // CreateProcessW may write to the line it is given
            return CreateProcessW(argv[2], copy.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
        });
        if (!started) {
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
        if (lines.size() > 1) {
            DWORD written = 0;
            WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "<<end>>\n", 8, &written, nullptr);
        }
    }
    fclose(result);
    return 0;
}
