// The launcher's table of system and runtime calls.
//
// Every call that a test must be able to make fail, or steer to a fixed
// value, goes through `sys`. Production code pays one indirect call; tests
// assign a replacement and put the real entry back afterwards. The calls are
// listed once, in system/syscall_list.h, with the value each gives when it
// fails; the failure-injection test walks that list.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <winternl.h>
#else
#include "system/host_windows.h"  // the fuzz targets' host build
#endif
#include <stddef.h>

struct ZSTD_DCtx_s;

// The status an injected failure of an ntdll call gives (STATUS_ACCESS_DENIED).
constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022u);

#include "system/syscall_list.h"

#define TARVEN_DECLARE_CALL(name, returns, parameters, real, failure) returns(WINAPI *name) parameters;

struct SystemCalls {
    TARVEN_SYSTEM_CALLS(TARVEN_DECLARE_CALL, TARVEN_DECLARE_CALL)
    // The hooks through which the process ends or reports; tests that catch
    // the ending replace these, the failure injection leaves them alone.
    // Writes text to standard output (stream 1) or standard error (stream 2).
    void (*write_text)(int stream, const char *text);
    // The GNU spelling of noreturn: clang (the fuzz targets' host build) takes
    // no [[noreturn]] on a pointer, and makes this one part of its type.
    // Ends the process through the runtime's normal exit: exit handlers run, streams flush.
    __attribute__((noreturn)) void (*exit_process)(int code);
    // Ends the process at once with a fail-fast termination (status 0xC0000409).
    __attribute__((noreturn)) void (*fail_fast)(void);
};

#undef TARVEN_DECLARE_CALL

extern SystemCalls sys;

// The table as the launcher ships it; tests restore entries from it.
extern const SystemCalls real_sys;

// Starts `routine(argument)` on a worker thread with a 64 KiB stack
// reservation, which every worker of the launcher fits in; gives its
// handle, or null when the system gives no thread.
inline HANDLE start_worker_thread(LPTHREAD_START_ROUTINE routine, void *argument) {
    return sys.CreateThread(nullptr, 64 * 1024, routine, argument, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
}

// ntdll's export `name`, or null when it has none. ntdll is in every process
// from its start; its calls, which the launcher does not import, are looked up.
void *ntdll_export(const char *name);
