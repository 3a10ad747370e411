// The program of the differential test, built twice: as a plain console
// program (TARVEN_PLAIN_PROGRAM: wmain calls run_code) and as the DLL that is
// packed. Whatever it prints depends only on what an application can see,
// so the two builds must print the same. What its first argument asks:
//   stdin                   reads its standard input to the end, prints its size and start
//   write N                 writes N bytes to standard output, then "done" to standard error;
//                           a failed write is reported on standard error and ends it with 5
//   cwd                     prints the current folder and writes "made.txt" there
//   env                     prints the environment, sorted
//   exit CODE               returns CODE (decimal or 0x hex)
//   crash                   writes through a null pointer
//   grandchild FILE         starts its own executable with "late FILE" and returns 0 at once
//   late FILE               waits one second, then writes "late" to FILE
//   interrupt [handle]      prints "waiting" and sleeps 60 s; with "handle" a Ctrl+C ends the
//                           sleep: prints "interrupted", reads a line, prints it, returns 4
//   anything else           prints its arguments, one a line, in brackets, and returns 0
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <algorithm>
#include <string>
#include <vector>

#include "utf8.h"

namespace {

// Writes through the handle, not the C runtime: a closed or broken stream is
// then a failed call the program reports, the same in both builds.
bool put(DWORD which, const std::string &text) {
    HANDLE stream = GetStdHandle(which);
    DWORD written = 0;
    return WriteFile(stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

int read_input() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::string data;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
    put(STD_OUTPUT_HANDLE, "read " + std::to_string(data.size()) + " bytes: " + data.substr(0, 64) + "\n");
    return 0;
}

int write_output(unsigned long size) {
    std::string block(65536, 'w');
    for (unsigned long done = 0; done < size;) {
        unsigned long part = std::min<unsigned long>(block.size(), size - done);
        if (!put(STD_OUTPUT_HANDLE, block.substr(0, part))) {
            // How much got through depends on the pipe's buffer, not on the program.
            put(STD_ERROR_HANDLE, "write failed\n");
            return 5;
        }
        done += part;
    }
    return put(STD_ERROR_HANDLE, "done\n") ? 0 : 6;
}

int current_folder() {
    wchar_t folder[4096];
    DWORD n = GetCurrentDirectoryW(4096, folder);
    put(STD_OUTPUT_HANDLE, utf8(std::wstring(folder, n)) + "\n");
    HANDLE made = CreateFileW(L"made.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(made, "made\n", 5, &written, nullptr);
    CloseHandle(made);
    return 0;
}

int environment() {
    std::vector<std::wstring> lines;
    wchar_t *block = GetEnvironmentStringsW();
    for (const wchar_t *entry = block; *entry != 0; entry += wcslen(entry) + 1) lines.push_back(entry);
    FreeEnvironmentStringsW(block);
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::wstring &line : lines) text += utf8(line) + "\n";
    put(STD_OUTPUT_HANDLE, text);
    return 0;
}

int start_grandchild(const wchar_t *file) {
    wchar_t module[4096];
    GetModuleFileNameW(nullptr, module, 4096);
    std::wstring line = L"\"" + std::wstring(module) + L"\" late \"" + file + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(module, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 91;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    put(STD_OUTPUT_HANDLE, "started\n");
    return 0;
}

int write_late(const wchar_t *file) {
    Sleep(1000);
    HANDLE out = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(out, "late\n", 5, &written, nullptr);
    CloseHandle(out);
    return 0;
}

HANDLE interrupted;
BOOL WINAPI on_interrupt(DWORD event) {
    if (event != CTRL_C_EVENT) return FALSE;
    SetEvent(interrupted);
    return TRUE;
}

int wait_for_interrupt(bool handle) {
    interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (handle) SetConsoleCtrlHandler(on_interrupt, TRUE);
    put(STD_OUTPUT_HANDLE, "waiting\n");
    if (WaitForSingleObject(interrupted, 60000) != WAIT_OBJECT_0) return 3;
    put(STD_OUTPUT_HANDLE, "interrupted\n");
    char line[256];
    if (fgets(line, sizeof line, stdin) == nullptr) return 5;
    put(STD_OUTPUT_HANDLE, std::string("read=") + line);
    return 4;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *) {
    std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"stdin") return read_input();
    if (command == L"write" && argc > 2) return write_output(wcstoul(argv[2], nullptr, 0));
    if (command == L"cwd") return current_folder();
    if (command == L"env") return environment();
    if (command == L"exit" && argc > 2) return static_cast<int>(wcstoul(argv[2], nullptr, 0));
    if (command == L"crash") {
        int *volatile nowhere = nullptr;
        *nowhere = 1;
    }
    if (command == L"grandchild" && argc > 2) return start_grandchild(argv[2]);
    if (command == L"late" && argc > 2) return write_late(argv[2]);
    if (command == L"interrupt") return wait_for_interrupt(argc > 2 && std::wstring(argv[2]) == L"handle");
    std::string text;
    for (int i = 1; i < argc; ++i) text += "[" + utf8(argv[i]) + "]\n";
    put(STD_OUTPUT_HANDLE, text);
    return 0;
}

#ifdef TARVEN_PLAIN_PROGRAM
int wmain(int argc, wchar_t **argv) { return run_code(argc, argv, nullptr); }
#endif
