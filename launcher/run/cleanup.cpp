// Removal of the target directory, and the console events that trigger it.
//
// The child's handle is used by two threads: the main thread waits on its own
// handle, the console control thread on a duplicate kept in a shared slot.
// Whichever takes the duplicate out of the slot (an atomic exchange) closes
// it, so no handle is closed twice or used after it was closed. Both threads
// may also reach the removal, which removes for one at a time.
#include "run/cleanup.h"

#include "progress/progress_window.h"

#include "removal/target_folder.h"
#include "unpack/extract.h"
#include "unpack/state.h"
#include "system/syscalls.h"

namespace {

constexpr DWORD kChildGraceMs = 5000;
// What a console program ended by an interrupt reports, so a terminated child never reads as success.
constexpr UINT kTerminatedExitCode = 0xC000013A;  // STATUS_CONTROL_C_EXIT

HANDLE take_shared_child() { return __atomic_exchange_n(&launcher_state.shared_child_process, nullptr, __ATOMIC_SEQ_CST); }

}  // namespace

void share_child_process(HANDLE child) {
    HANDLE duplicate = nullptr;
    // Without a duplicate the control thread can only remove the directory.
    if (!sys.DuplicateHandle(GetCurrentProcess(), child, GetCurrentProcess(), &duplicate, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
        duplicate = nullptr;
    __atomic_store_n(&launcher_state.shared_child_process, duplicate, __ATOMIC_SEQ_CST);
    launcher_state.child_started = true;
}

void release_shared_child_process() {
    if (HANDLE duplicate = take_shared_child()) sys.CloseHandle(duplicate);
}

void cleanup_at_exit() {
    if (HANDLE child = take_shared_child()) {
        if (sys.WaitForSingleObject(child, kChildGraceMs) != WAIT_OBJECT_0)
            sys.TerminateProcess(child, kTerminatedExitCode);
        sys.CloseHandle(child);
    }
    if (!launcher_state.extraction_started) return;
    // Files being written, or waiting for their close on another thread, are
    // open and would keep the folder: the entry loop stops and closes them
    // first. A loop still running after five seconds (a close held that long
    // by a scanner) is not waited for further: the removal takes what it
    // can, and what is still open stays.
    stop_entry_loop(kChildGraceMs);
    remove_target_folder();
}

void end_cancelled_run() {
    cleanup_at_exit();
    sys.exit_process(ERROR_CANCELLED);
}

void end_stopped_loop() {
    if (progress_cancelled()) end_cancelled_run();
    end_stopped_unpacking();
}

void end_stopped_unpacking() {
    cleanup_at_exit();
    sys.exit_process(static_cast<int>(STATUS_CONTROL_C_EXIT));
}

// The child shares the parent's console and gets every interrupt itself: an
// interactive application handles Ctrl+C and goes on, as it would started
// plainly. The parent then only keeps waiting; it cleans up when the child
// ends and exits with its code. Closing the console and shut-down end every
// process of the console whatever it answers, so those clean up now.
//
// Log-off reaches only services' processes (the system ends interactive
// ones itself) that loaded neither user32 nor gdi32, which the launcher does
// not, and any user's log-off sends it: a program run as or by a service
// goes on, so the launcher does nothing and answers that it handled the
// event, which keeps the system's default handling from ending it.
BOOL WINAPI console_control_handler(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        if (launcher_state.child_started) return TRUE;
        cleanup_at_exit();
        break;
    case CTRL_LOGOFF_EVENT: return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT: cleanup_at_exit(); break;
    default: break;
    }
    return FALSE;
}
