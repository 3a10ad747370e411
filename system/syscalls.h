// The launcher's table of system and runtime calls.
//
// Every call that a test must be able to make fail, or steer to a fixed
// value, goes through `sys`. Production code pays one indirect call; tests
// assign a replacement and put the real entry back afterwards.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#else
#include "system/host_windows.h"  // the fuzz targets' host build
#endif
#include <stddef.h>

struct ZSTD_DCtx_s;

struct SystemCalls {
    // files and directories
    HANDLE(WINAPI *CreateFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI *WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI *CloseHandle)(HANDLE);
    BOOL(WINAPI *CreateDirectoryW)(LPCWSTR, LPSECURITY_ATTRIBUTES);
    DWORD(WINAPI *GetFullPathNameW)(LPCWSTR, DWORD, LPWSTR, LPWSTR *);
    DWORD(WINAPI *GetFileAttributesW)(LPCWSTR);
    DWORD(WINAPI *GetShortPathNameW)(LPCWSTR, LPWSTR, DWORD);
    DWORD(WINAPI *GetTempPathW)(DWORD, LPWSTR);
    HRESULT(WINAPI *SHGetFolderPathW)(HWND, int, HANDLE, DWORD, LPWSTR);
    HANDLE(WINAPI *FindFirstFileExW)(LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID, DWORD);
    BOOL(WINAPI *FindNextFileW)(HANDLE, LPWIN32_FIND_DATAW);
    BOOL(WINAPI *FindClose)(HANDLE);
    BOOL(WINAPI *DeleteFileW)(LPCWSTR);
    BOOL(WINAPI *RemoveDirectoryW)(LPCWSTR);
    BOOL(WINAPI *SetFileAttributesW)(LPCWSTR, DWORD);
    BOOL(WINAPI *MoveFileExW)(LPCWSTR, LPCWSTR, DWORD);
    // processes
    DWORD(WINAPI *GetCurrentProcessId)(void);
    HANDLE(WINAPI *OpenProcess)(DWORD, BOOL, DWORD);
    DWORD(WINAPI *K32GetModuleFileNameExW)(HANDLE, HMODULE, LPWSTR, DWORD);
    BOOL(WINAPI *QueryFullProcessImageNameW)(HANDLE, DWORD, LPWSTR, DWORD *);
    DWORD(WINAPI *GetModuleFileNameW)(HMODULE, LPWSTR, DWORD);
    BOOL(WINAPI *CreateProcessW)(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                 LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION);
    BOOL(WINAPI *DuplicateHandle)(HANDLE, HANDLE, HANDLE, LPHANDLE, DWORD, BOOL, DWORD);
    DWORD(WINAPI *WaitForSingleObject)(HANDLE, DWORD);
    BOOL(WINAPI *GetExitCodeProcess)(HANDLE, LPDWORD);
    BOOL(WINAPI *TerminateProcess)(HANDLE, UINT);
    HANDLE(WINAPI *GetStdHandle)(DWORD);
    LPWSTR(WINAPI *GetCommandLineW)(void);
    LPWSTR *(WINAPI *CommandLineToArgvW)(LPCWSTR, int *);
    HANDLE(WINAPI *CreateJobObjectW)(LPSECURITY_ATTRIBUTES, LPCWSTR);
    BOOL(WINAPI *SetInformationJobObject)(HANDLE, JOBOBJECTINFOCLASS, LPVOID, DWORD);
    BOOL(WINAPI *AssignProcessToJobObject)(HANDLE, HANDLE);
    // libraries
    BOOL(WINAPI *SetDllDirectoryW)(LPCWSTR);
    DLL_DIRECTORY_COOKIE(WINAPI *AddDllDirectory)(PCWSTR);
    HMODULE(WINAPI *LoadLibraryExW)(LPCWSTR, HANDLE, DWORD);
    HMODULE(WINAPI *GetModuleHandleA)(LPCSTR);
    FARPROC(WINAPI *GetProcAddress)(HMODULE, LPCSTR);
    // environment, console, time
    DWORD(WINAPI *GetEnvironmentVariableW)(LPCWSTR, LPWSTR, DWORD);
    BOOL(WINAPI *SetEnvironmentVariableW)(LPCWSTR, LPCWSTR);
    BOOL(WINAPI *SetConsoleCtrlHandler)(PHANDLER_ROUTINE, BOOL);
    void(WINAPI *GetSystemTimeAsFileTime)(LPFILETIME);
    BOOL(WINAPI *QueryPerformanceCounter)(LARGE_INTEGER *);
    BOOL(WINAPI *GetStringTypeW)(DWORD, LPCWCH, int, LPWORD);
    void(WINAPI *Sleep)(DWORD);
    DWORD(WINAPI *FormatMessageA)(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list *);
    // run-time library
    void *(*malloc)(size_t);
    ZSTD_DCtx_s *(*ZSTD_createDCtx)(void);
    // Writes text to standard output (stream 1) or standard error (stream 2).
    void (*write_text)(int stream, const char *text);
    // The GNU spelling of noreturn: clang (the fuzz targets' host build) takes
    // no [[noreturn]] on a pointer, and makes this one part of its type.
    // Ends the process through the runtime's normal exit: exit handlers run, streams flush.
    __attribute__((noreturn)) void (*exit_process)(int code);
    // Ends the process at once with a fail-fast termination (status 0xC0000409).
    __attribute__((noreturn)) void (*fail_fast)(void);
};

extern SystemCalls sys;

// The table as the launcher ships it; tests restore entries from it.
extern const SystemCalls real_sys;
