// The production values of the system-call table.
#include "system/syscalls.h"

#include <fcntl.h>
#include <io.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <zstd.h>

namespace {

// Only reports write here, just before the process ends: the line ends with
// the line feed it names, not the text mode's carriage return and line feed.
void write_text_to_stream(int stream, const char *text) {
    FILE *f = stream == 1 ? stdout : stderr;
    fflush(f);
    _setmode(_fileno(f), _O_BINARY);
    fputs(text, f);
    fflush(f);
}

[[noreturn]] void exit_through_runtime(int code) { exit(code); }

// mingw-w64 has no __fastfail; this is its instruction sequence.
// 7 is FAST_FAIL_FATAL_APP_EXIT; the system ends the process with
// STATUS_STACK_BUFFER_OVERRUN (0xC0000409) and runs no handlers.
[[noreturn]] void fail_fast_now() {
    __asm__ volatile("int $0x29" : : "c"(7) : "memory");
    __builtin_unreachable();
}

}  // namespace

const SystemCalls real_sys = {
    CreateFileW, WriteFile, CloseHandle, CreateDirectoryW, GetFullPathNameW, GetFileAttributesW,
    GetShortPathNameW, GetTempPathW, SHGetFolderPathW, FindFirstFileExW, FindNextFileW, FindClose,
    DeleteFileW, RemoveDirectoryW, SetFileAttributesW,
    GetCurrentProcessId, OpenProcess, K32GetModuleFileNameExW, GetModuleFileNameW, CreateProcessW,
    DuplicateHandle, WaitForSingleObject, GetExitCodeProcess, TerminateProcess, GetStdHandle,
    GetCommandLineW, CommandLineToArgvW,
    SetDllDirectoryW, AddDllDirectory, LoadLibraryExW, GetModuleHandleA, GetProcAddress,
    GetEnvironmentVariableW, SetEnvironmentVariableW, SetConsoleCtrlHandler, GetSystemTimeAsFileTime,
    QueryPerformanceCounter, GetStringTypeW, Sleep, FormatMessageA,
    malloc, ZSTD_createDCtx, write_text_to_stream, exit_through_runtime, fail_fast_now,
};

SystemCalls sys = real_sys;
