// Re-entry detection, the parent's environment, and the hand-off to the library.
#include "run/reentry.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "unpack/report.h"
#include "unpack/state.h"
#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/identity.h"
#include "run/missing_import.h"
#include "system/syscalls.h"

namespace {

// As large as the launcher's own path caches: a smaller buffer would cut a
// long parent path short, the child would not recognise its parent and would
// start a child of its own, and so on without end.
constexpr DWORD kParentPathCapacity = kOwnPathCapacity;

using RunCode = int (*)(int, wchar_t **, const wchar_t *);

}  // namespace

bool detect_reentry() {
    wchar_t *text = get_environment_value("TARVEN_ONEFILE_PARENT");
    if (text == nullptr) return false;
    errno = 0;
    wchar_t *end = nullptr;
    long id = wcstol(text, &end, 10);
    if (errno == ERANGE || end == text || *end != 0) return false;
    HANDLE process = sys.OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(id));
    bool memory_readable = process != nullptr;
    // A parent whose memory may not be read (a security product, a debugger,
    // another integrity level) can still name its image. Without this every
    // child that cannot read its parent would become a parent itself and
    // start a child of its own, level after level.
    if (process == nullptr)
        process = sys.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (process == nullptr) return false;
    wchar_t parent_path[kParentPathCapacity];
    // Reading a process's memory fails once it has ended; its image name does
    // not, as long as a handle keeps the process object: that one must still
    // run. The least access that tells is the exit code's (a process that
    // ended with 259 reads as running, which errs on being a child).
    bool readable = memory_readable && sys.K32GetModuleFileNameExW(process, nullptr, parent_path, kParentPathCapacity) != 0;
    DWORD exit_code = 0;
    if (!readable && sys.GetExitCodeProcess(process, &exit_code) && exit_code == STILL_ACTIVE) {
        DWORD size = kParentPathCapacity;
        readable = sys.QueryFullProcessImageNameW(process, 0, parent_path, &size) != 0;
    }
    if (readable) {
        resolve_final_path(parent_path, parent_path, kParentPathCapacity, true);
        to_short_path_form(parent_path, kParentPathCapacity);
    }
    const wchar_t *own = own_executable_path(true);
    bool same = readable && same_wide_text(parent_path, own);
    sys.CloseHandle(process);
    return same;
}

void prepare_parent_environment() {
    unset_environment_value("TARVEN_ONEFILE_START");
    unset_environment_value("TARVEN_ONEFILE_TIME_US");
    unset_environment_value("TARVEN_ONEFILE_RANDOM");
    char narrow[128];
    snprintf(narrow, sizeof narrow, "%ld", static_cast<long>(static_cast<int32_t>(sys.GetCurrentProcessId())));
    wchar_t wide[128];
    widen_narrow_text(wide, narrow, 128);
    set_environment_value("TARVEN_ONEFILE_PARENT", wide);
}

int hand_off_to_library(const wchar_t *target, const wchar_t *library_path, int argc, wchar_t **argv) {
    sys.AddDllDirectory(target);
    HMODULE library = sys.LoadLibraryExW(library_path, nullptr,
                                         LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                             LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) {
        long code = static_cast<long>(sys.GetLastError());
        // The system's text names no module: a second line names the one
        // the user's machine lacks, when the import tables tell.
        static char missing[3 * 256 + 128];
        bool named = (code == ERROR_MOD_NOT_FOUND || code == ERROR_PROC_NOT_FOUND) &&
                     describe_missing_import(library_path, code, missing, sizeof missing);
        report_fatal_with_code("Error, load DLL.", code, named ? missing : nullptr);
    }
    auto run_code = reinterpret_cast<RunCode>(reinterpret_cast<void *>(sys.GetProcAddress(library, "run_code")));
    if (run_code == nullptr) report_fatal("Error, DLL entry point not found.");
    return run_code(argc, argv, library_path);
}
