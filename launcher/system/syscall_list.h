// The one list of the system and runtime calls the launcher makes through its
// table. Each line gives the call's name, its result type, its parameter
// types, the function the shipped table holds, and either the value it gives
// when it fails (CALL) or why the failure-injection test leaves it out
// (LEFT_OUT). The table, its real entries and the injection test's registry
// are all made from this list, so a call added here is injected without
// editing the test.
#pragma once

#define TARVEN_SYSTEM_CALLS(CALL, LEFT_OUT)                                                                          \
    /* files and directories */                                                                                      \
    CALL(CreateFileW, HANDLE, (LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE), CreateFileW,      \
         INVALID_HANDLE_VALUE)                                                                                       \
    CALL(WriteFile, BOOL, (HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED), WriteFile, FALSE)                          \
    CALL(CloseHandle, BOOL, (HANDLE), CloseHandle, FALSE)                                                            \
    CALL(CreateDirectoryW, BOOL, (LPCWSTR, LPSECURITY_ATTRIBUTES), CreateDirectoryW, FALSE)                          \
    CALL(GetFullPathNameW, DWORD, (LPCWSTR, DWORD, LPWSTR, LPWSTR *), GetFullPathNameW, DWORD{0})                    \
    CALL(GetFileAttributesW, DWORD, (LPCWSTR), GetFileAttributesW, INVALID_FILE_ATTRIBUTES)                          \
    CALL(GetShortPathNameW, DWORD, (LPCWSTR, LPWSTR, DWORD), GetShortPathNameW, DWORD{0})                            \
    CALL(GetTempPathW, DWORD, (DWORD, LPWSTR), GetTempPathW, DWORD{0})                                               \
    CALL(SHGetFolderPathW, HRESULT, (HWND, int, HANDLE, DWORD, LPWSTR), shell_folder_path, E_FAIL)                   \
    CALL(FindFirstFileExW, HANDLE, (LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID, DWORD),          \
         FindFirstFileExW, INVALID_HANDLE_VALUE)                                                                     \
    CALL(FindNextFileW, BOOL, (HANDLE, LPWIN32_FIND_DATAW), FindNextFileW, FALSE)                                    \
    CALL(FindClose, BOOL, (HANDLE), FindClose, FALSE)                                                                \
    CALL(DeleteFileW, BOOL, (LPCWSTR), DeleteFileW, FALSE)                                                           \
    CALL(RemoveDirectoryW, BOOL, (LPCWSTR), RemoveDirectoryW, FALSE)                                                 \
    CALL(SetFileAttributesW, BOOL, (LPCWSTR, DWORD), SetFileAttributesW, FALSE)                                      \
    CALL(MoveFileExW, BOOL, (LPCWSTR, LPCWSTR, DWORD), MoveFileExW, FALSE)                                           \
    CALL(ReadFile, BOOL, (HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED), ReadFile, FALSE)                            \
    CALL(SetFileTime, BOOL, (HANDLE, const FILETIME *, const FILETIME *, const FILETIME *), SetFileTime, FALSE)      \
    CALL(FlushFileBuffers, BOOL, (HANDLE), FlushFileBuffers, FALSE)                                                  \
    /* folders worked through handles: ntdll's calls are looked up when first used */                              \
    CALL(NtCreateFile, NTSTATUS,                                                                                     \
         (PHANDLE, DWORD, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID,   \
          ULONG),                                                                                                    \
         nt_create_file, kStatusAccessDenied)                                                                        \
    CALL(NtQueryDirectoryFile, NTSTATUS,                                                                             \
         (HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG, BOOLEAN, PUNICODE_STRING, BOOLEAN),    \
         nt_query_directory_file, kStatusAccessDenied)                                                               \
    CALL(NtSetInformationFile, NTSTATUS, (HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG), nt_set_information_file,   \
         kStatusAccessDenied)                                                                                        \
    CALL(NtQueryInformationFile, NTSTATUS, (HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG),                          \
         nt_query_information_file, kStatusAccessDenied)                                                             \
    CALL(GetFileInformationByHandle, BOOL, (HANDLE, LPBY_HANDLE_FILE_INFORMATION), GetFileInformationByHandle, FALSE) \
    CALL(GetVolumeInformationByHandleW, BOOL, (HANDLE, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPWSTR, DWORD),     \
         GetVolumeInformationByHandleW, FALSE)                                                                       \
    LEFT_OUT(RtlNtStatusToDosError, ULONG, (NTSTATUS), dos_error_of_status, "it cannot fail")                     \
    CALL(NtQuerySecurityObject, NTSTATUS, (HANDLE, ULONG, PVOID, ULONG, PULONG), nt_query_security_object,           \
         kStatusAccessDenied)                                                                                        \
    /* the running user */                                                                                           \
    CALL(NtOpenProcessToken, NTSTATUS, (HANDLE, DWORD, PHANDLE), nt_open_process_token, kStatusAccessDenied)         \
    CALL(NtQueryInformationToken, NTSTATUS, (HANDLE, ULONG, PVOID, ULONG, PULONG), nt_query_information_token,       \
         kStatusAccessDenied)                                                                                        \
    /* processes */                                                                                                  \
    LEFT_OUT(GetCurrentProcessId, DWORD, (void), GetCurrentProcessId, "it cannot fail")                              \
    CALL(OpenProcess, HANDLE, (DWORD, BOOL, DWORD), OpenProcess, HANDLE{nullptr})                                    \
    CALL(K32GetModuleFileNameExW, DWORD, (HANDLE, HMODULE, LPWSTR, DWORD), K32GetModuleFileNameExW, DWORD{0})        \
    CALL(QueryFullProcessImageNameW, BOOL, (HANDLE, DWORD, LPWSTR, DWORD *), QueryFullProcessImageNameW, FALSE)      \
    CALL(GetModuleFileNameW, DWORD, (HMODULE, LPWSTR, DWORD), GetModuleFileNameW, DWORD{0})                          \
    LEFT_OUT(CreateProcessW, BOOL,                                                                                   \
             (LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,           \
              LPSTARTUPINFOW, LPPROCESS_INFORMATION),                                                                \
             CreateProcessW, "the injection test replaces the child's launch with a fake of its own")                \
    CALL(DuplicateHandle, BOOL, (HANDLE, HANDLE, HANDLE, LPHANDLE, DWORD, BOOL, DWORD), DuplicateHandle, FALSE)      \
    CALL(WaitForSingleObject, DWORD, (HANDLE, DWORD), WaitForSingleObject, DWORD{WAIT_FAILED})                       \
    CALL(CreateThread, HANDLE, (LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD),       \
         CreateThread, HANDLE{nullptr})                                                                              \
    LEFT_OUT(GetExitCodeProcess, BOOL, (HANDLE, LPDWORD), GetExitCodeProcess,                                        \
             "the injection test's fake child gives the exit code")                                                 \
    CALL(TerminateProcess, BOOL, (HANDLE, UINT), TerminateProcess, FALSE)                                            \
    CALL(GetStdHandle, HANDLE, (DWORD), GetStdHandle, INVALID_HANDLE_VALUE)                                          \
    LEFT_OUT(GetCommandLineW, LPWSTR, (void), GetCommandLineW, "it cannot fail")                                     \
    CALL(CreateJobObjectW, HANDLE, (LPSECURITY_ATTRIBUTES, LPCWSTR), CreateJobObjectW, HANDLE{nullptr})              \
    CALL(SetInformationJobObject, BOOL, (HANDLE, JOBOBJECTINFOCLASS, LPVOID, DWORD), SetInformationJobObject, FALSE) \
    CALL(AssignProcessToJobObject, BOOL, (HANDLE, HANDLE), AssignProcessToJobObject, FALSE)                          \
    CALL(IsProcessInJob, BOOL, (HANDLE, HANDLE, PBOOL), IsProcessInJob, FALSE)                                       \
    /* libraries */                                                                                                  \
    CALL(SetDllDirectoryW, BOOL, (LPCWSTR), SetDllDirectoryW, FALSE)                                                 \
    CALL(AddDllDirectory, DLL_DIRECTORY_COOKIE, (PCWSTR), AddDllDirectory, DLL_DIRECTORY_COOKIE{nullptr})            \
    CALL(LoadLibraryExW, HMODULE, (LPCWSTR, HANDLE, DWORD), LoadLibraryExW, HMODULE{nullptr})                        \
    CALL(GetModuleHandleA, HMODULE, (LPCSTR), GetModuleHandleA, HMODULE{nullptr})                                    \
    CALL(GetProcAddress, FARPROC, (HMODULE, LPCSTR), GetProcAddress, FARPROC{nullptr})                               \
    /* environment, console, time, errors */                                                                         \
    CALL(GetEnvironmentVariableW, DWORD, (LPCWSTR, LPWSTR, DWORD), GetEnvironmentVariableW, DWORD{0})                \
    CALL(SetEnvironmentVariableW, BOOL, (LPCWSTR, LPCWSTR), SetEnvironmentVariableW, FALSE)                          \
    CALL(SetConsoleCtrlHandler, BOOL, (PHANDLER_ROUTINE, BOOL), SetConsoleCtrlHandler, FALSE)                        \
    LEFT_OUT(GetSystemTimeAsFileTime, void, (LPFILETIME), GetSystemTimeAsFileTime, "it cannot fail")                 \
    CALL(QueryPerformanceCounter, BOOL, (LARGE_INTEGER *), QueryPerformanceCounter, FALSE)                           \
    CALL(GetSystemTimes, BOOL, (LPFILETIME, LPFILETIME, LPFILETIME), GetSystemTimes, FALSE)                          \
    CALL(GetStringTypeW, BOOL, (DWORD, LPCWCH, int, LPWORD), GetStringTypeW, FALSE)                                  \
    LEFT_OUT(Sleep, void, (DWORD), Sleep, "it cannot fail")                                                          \
    LEFT_OUT(GetTickCount64, ULONGLONG, (void), GetTickCount64, "it cannot fail")                                    \
    CALL(FormatMessageA, DWORD, (DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list *), FormatMessageA, DWORD{0})   \
    LEFT_OUT(GetLastError, DWORD, (void), GetLastError, "it reports the failure of the call before it")             \
    /* run-time library */                                                                                           \
    CALL(malloc, void *, (size_t), malloc, static_cast<void *>(nullptr))                                             \
    LEFT_OUT(free, void, (void *), free, "it cannot fail")                                                           \
    CALL(ZSTD_createDCtx, ZSTD_DCtx_s *, (void), ZSTD_createDCtx, static_cast<ZSTD_DCtx_s *>(nullptr))               \
    LEFT_OUT(ZSTD_freeDCtx, size_t, (ZSTD_DCtx_s *), ZSTD_freeDCtx, "it cannot fail")
