// The production values of the system-call table.
#include "system/syscalls.h"

#include "system/profile_folder.h"

#include <fcntl.h>
#include <io.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <zstd.h>

void *ntdll_export(const char *name) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll == nullptr ? nullptr : reinterpret_cast<void *>(GetProcAddress(ntdll, name));
}

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

// The shell's library is loaded when it is first needed, not at start: its
// dependencies (user32, gdi32, ole32) cost a re-entered child, which never
// calls into it, tens of milliseconds of start-up.
FARPROC shell_function(const char *name) {
    static HMODULE shell;
    if (shell == nullptr) shell = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return shell == nullptr ? nullptr : GetProcAddress(shell, name);
}

// The user's profile folder as the shell gives it for CSIDL_PROFILE: a parent
// asks for it (the created-directory cache starts with it) and would
// otherwise load the shell's library for it alone. Read from the profile list
// through ntdll; where that fails, from the profile library (Windows 8 and
// later take the process token's pseudo handle); false where both fail.
bool profile_folder(LPWSTR path) {
    if (profile_folder_from_registry(path)) return true;
    using Function = BOOL(WINAPI *)(HANDLE, LPWSTR, LPDWORD);
    static HMODULE profiles;  // no guarded static: its guard would need the C++ runtime's DLL
    if (profiles == nullptr) profiles = LoadLibraryExW(L"userenv.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    auto function = reinterpret_cast<Function>(
        reinterpret_cast<void *>(profiles == nullptr ? nullptr : GetProcAddress(profiles, "GetUserProfileDirectoryW")));
    DWORD size = MAX_PATH;
    return function != nullptr && function(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-4)), path, &size);
}

HRESULT WINAPI shell_folder_path(HWND window, int folder, HANDLE token, DWORD flags, LPWSTR path) {
    if (folder == CSIDL_PROFILE && token == nullptr && profile_folder(path)) return S_OK;
    using Function = HRESULT(WINAPI *)(HWND, int, HANDLE, DWORD, LPWSTR);
    auto function = reinterpret_cast<Function>(reinterpret_cast<void *>(shell_function("SHGetFolderPathW")));
    return function == nullptr ? E_FAIL : function(window, folder, token, flags, path);
}

// ntdll's calls are looked up once, when first used. A call that cannot be
// found fails as the system would refuse it.
template <typename... Parameters>
NTSTATUS call_ntdll(void *&cached, const char *name, Parameters... arguments) {
    void *function = __atomic_load_n(&cached, __ATOMIC_ACQUIRE);
    if (function == nullptr) {
        function = ntdll_export(name);
        __atomic_store_n(&cached, function, __ATOMIC_RELEASE);
    }
    if (function == nullptr) return kStatusAccessDenied;
    return reinterpret_cast<NTSTATUS(WINAPI *)(Parameters...)>(function)(arguments...);
}

NTSTATUS WINAPI nt_create_file(PHANDLE handle, DWORD access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                               PLARGE_INTEGER size, ULONG file_attributes, ULONG share, ULONG disposition,
                               ULONG options, PVOID ea, ULONG ea_length) {
    static void *function;
    return call_ntdll(function, "NtCreateFile", handle, access, attributes, io, size, file_attributes, share,
                      disposition, options, ea, ea_length);
}

// ntdll has it on every system; were it missing, the reason would read as
// a write fault rather than as nothing.
ULONG WINAPI dos_error_of_status(NTSTATUS status) {
    static void *function;
    void *found = __atomic_load_n(&function, __ATOMIC_ACQUIRE);
    if (found == nullptr) {
        found = ntdll_export("RtlNtStatusToDosError");
        __atomic_store_n(&function, found, __ATOMIC_RELEASE);
    }
    if (found == nullptr) return ERROR_WRITE_FAULT;
    return reinterpret_cast<ULONG(WINAPI *)(NTSTATUS)>(found)(status);
}

NTSTATUS WINAPI nt_query_directory_file(HANDLE folder, HANDLE event, PVOID routine, PVOID context,
                                        PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, ULONG information_class,
                                        BOOLEAN single, PUNICODE_STRING mask, BOOLEAN restart) {
    static void *function;
    return call_ntdll(function, "NtQueryDirectoryFile", folder, event, routine, context, io, buffer, length,
                      information_class, single, mask, restart);
}

NTSTATUS WINAPI nt_set_information_file(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                                        ULONG information_class) {
    static void *function;
    return call_ntdll(function, "NtSetInformationFile", file, io, information, length, information_class);
}

NTSTATUS WINAPI nt_query_information_file(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                                          ULONG information_class) {
    static void *function;
    return call_ntdll(function, "NtQueryInformationFile", file, io, information, length, information_class);
}

NTSTATUS WINAPI nt_query_security_object(HANDLE object, ULONG parts, PVOID descriptor, ULONG length, PULONG needed) {
    static void *function;
    return call_ntdll(function, "NtQuerySecurityObject", object, parts, descriptor, length, needed);
}

NTSTATUS WINAPI nt_open_process_token(HANDLE process, DWORD access, PHANDLE token) {
    static void *function;
    return call_ntdll(function, "NtOpenProcessToken", process, access, token);
}

NTSTATUS WINAPI nt_query_information_token(HANDLE token, ULONG information_class, PVOID information, ULONG length,
                                           PULONG returned) {
    static void *function;
    return call_ntdll(function, "NtQueryInformationToken", token, information_class, information, length, returned);
}

}  // namespace

#define TARVEN_REAL_CALL(name, returns, parameters, real, failure) real,

const SystemCalls real_sys = {
    TARVEN_SYSTEM_CALLS(TARVEN_REAL_CALL, TARVEN_REAL_CALL) write_text_to_stream, exit_through_runtime, fail_fast_now,
};

SystemCalls sys = real_sys;
