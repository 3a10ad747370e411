// The application the end-to-end tests pack: a DLL whose run_code does what
// its first argument asks and reports what it saw.
//   report FILE [ARGS...]    writes "key=value" lines (UTF-8) to FILE, returns 0
//   exit CODE                returns CODE (decimal or 0x hex)
//   reportexit FILE CODE [MS] writes the report as "report" does (after MS milliseconds), returns CODE
//   reenter FILE             changes data\readme.txt, starts its own executable with "report FILE",
//                            returns its exit code
//   hold MS [sleep]          starts holder.exe on a file of its folder for MS milliseconds, returns 0
//                            (with "sleep": then sleeps 60 s and returns 3)
//   sleep MS [handle]        prints "sleeping", sleeps, returns 3; with "handle" a Ctrl+C ends the
//                            sleep as in an interactive program: prints "interrupted", reads a line
//                            from standard input, prints "read=" and the line, returns 4
//   copy DEST                copies its folder to DEST, returns 0
//   window FILE MS           writes the report to FILE, then shows a window titled
//                            "Tarven probe window" for MS milliseconds, returns 0
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string>

#include "utf8.h"

namespace {

std::wstring variable(const wchar_t *name) {
    wchar_t value[32768];
    DWORD n = GetEnvironmentVariableW(name, value, 32768);
    return n == 0 ? L"<unset>" : std::wstring(value, n);
}

std::wstring folder_of(const std::wstring &path) { return path.substr(0, path.rfind(L'\\')); }

int report(int argc, wchar_t **argv, const wchar_t *library, const wchar_t *file) {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    std::string text = "argc=" + std::to_string(argc) + "\n";
    // When the application got control, in 100-ns units since 1601 (timing runs read it).
    text += "started=" + std::to_string((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime) + "\n";
    for (int i = 0; i < argc; ++i) text += "arg" + std::to_string(i) + "=" + utf8(argv[i]) + "\n";
    wchar_t module[4096];
    GetModuleFileNameW(nullptr, module, 4096);
    text += "library=" + utf8(library) + "\n";
    text += "module=" + utf8(module) + "\n";
    text += "pid=" + std::to_string(GetCurrentProcessId()) + "\n";
    for (const wchar_t *name : {L"TARVEN_ONEFILE_PARENT", L"TARVEN_ONEFILE_DIRECTORY", L"TARVEN_ORIGINAL_ARGV0",
                                L"TARVEN_ONEFILE_TIME_US", L"TARVEN_ONEFILE_RANDOM", L"TARVEN_ONEFILE_START"})
        text += utf8(name) + "=" + utf8(variable(name)) + "\n";
    // What the data file beside the library holds now.
    HANDLE readme = CreateFileW((folder_of(library) + L"\\data\\readme.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    char content[256] = {0};
    DWORD got = 0;
    if (readme != INVALID_HANDLE_VALUE) {
        ReadFile(readme, content, sizeof content - 1, &got, nullptr);
        CloseHandle(readme);
    }
    text += "readme=" + std::string(content, got > 0 && content[got - 1] == '\n' ? got - 1 : got) + "\n";
    HANDLE out = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return 90;
    DWORD written = 0;
    WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(out);
    return 0;
}

int run(const std::wstring &command_line) {
    wchar_t module[4096];
    GetModuleFileNameW(nullptr, module, 4096);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::wstring line = command_line;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return 91;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 92;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

void copy_tree(const std::wstring &from, const std::wstring &to) {
    CreateDirectoryW(to.c_str(), nullptr);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((from + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) copy_tree(from + L"\\" + name, to + L"\\" + name);
        else CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// A visible top-level window, its messages pumped for `ms` milliseconds.
int show_window(DWORD ms) {
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"TarvenProbeWindow";
    RegisterClassW(&window_class);
    HWND window = CreateWindowExW(0, L"TarvenProbeWindow", L"Tarven probe window", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                  100, 100, 300, 200, nullptr, nullptr, window_class.hInstance, nullptr);
    if (window == nullptr) return 95;
    ULONGLONG end = GetTickCount64() + ms;
    while (GetTickCount64() < end) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(10);
    }
    DestroyWindow(window);
    return 0;
}

HANDLE interrupted;
BOOL WINAPI on_interrupt(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    SetEvent(interrupted);
    return TRUE;
}

int sleep_until_interrupted(DWORD ms, bool handle) {
    if (handle) {
        interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(on_interrupt, TRUE);
    }
    fputs("sleeping\n", stdout);
    fflush(stdout);
    if (!handle) return Sleep(ms), 3;
    if (WaitForSingleObject(interrupted, ms) != WAIT_OBJECT_0) return 3;
    fputs("interrupted\n", stdout);
    fflush(stdout);
    char line[256];
    if (fgets(line, sizeof line, stdin) == nullptr) return 5;
    printf("read=%s", line);
    fflush(stdout);
    return 4;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *library) {
    std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"report" && argc > 2) return report(argc, argv, library, argv[2]);
    if (command == L"exit" && argc > 2) return static_cast<int>(wcstoul(argv[2], nullptr, 0));
    if (command == L"reportexit" && argc > 3) {
        if (argc > 4) Sleep(static_cast<DWORD>(wcstoul(argv[4], nullptr, 0)));
        int written = report(argc, argv, library, argv[2]);
        return written != 0 ? written : static_cast<int>(wcstoul(argv[3], nullptr, 0));
    }
    if (command == L"reenter" && argc > 2) {
        // A re-entered child that unpacked again would put the original back.
        HANDLE readme = CreateFileW((folder_of(library) + L"\\data\\readme.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(readme, "changed by the application\n", 27, &written, nullptr);
        CloseHandle(readme);
        wchar_t module[4096];
        GetModuleFileNameW(nullptr, module, 4096);
        return run(L"\"" + std::wstring(module) + L"\" report \"" + argv[2] + L"\"");
    }
    if (command == L"hold" && argc > 2) {
        std::wstring holder = folder_of(library) + L"\\holder.exe";
        std::wstring held = folder_of(library) + L"\\data\\held.txt";
        std::wstring line = L"\"" + holder + L"\" \"" + held + L"\" " + argv[2];
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
            return 93;
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        // Returns once the holder has the file open.
        for (int i = 0; i < 500; ++i) {
            if (GetFileAttributesW((held + L".open").c_str()) != INVALID_FILE_ATTRIBUTES) {
                if (argc > 3 && std::wstring(argv[3]) == L"sleep") return Sleep(60000), 3;
                return 0;
            }
            Sleep(10);
        }
        return 94;
    }
    if (command == L"sleep" && argc > 2)
        return sleep_until_interrupted(wcstoul(argv[2], nullptr, 0), argc > 3 && std::wstring(argv[3]) == L"handle");
    if (command == L"window" && argc > 3) {
        int written = report(argc, argv, library, argv[2]);
        return written != 0 ? written : show_window(static_cast<DWORD>(wcstoul(argv[3], nullptr, 0)));
    }
    if (command == L"copy" && argc > 2) {
        copy_tree(folder_of(library), argv[2]);
        return 0;
    }
    return 99;
}
