// Clean-up of the target directory and the parent's console control handler.
#pragma once

#include <windows.h>

// Stops a child that is still running (5 s to end by itself, then
// terminated with STATUS_CONTROL_C_EXIT) and the entry loop (up to 5 s),
// then removes the target directory, retrying for about 2 s while it persists.
void cleanup_at_exit();

// Before the child is started, interrupt, close and shut-down events run the
// clean-up and give FALSE, so that the system's default handling ends the
// process. Once it is started, an interrupt is left to the child (TRUE: the
// parent goes on waiting); the other two still run the clean-up, which gives
// the child five seconds and then ends it with STATUS_CONTROL_C_EXIT.
// Log-off does nothing and gives TRUE: the launcher and its child go on.
BOOL WINAPI console_control_handler(DWORD event);

// Gives the console control thread a handle of its own on the running child,
// and marks the child started.
void share_child_process(HANDLE child);

// Takes the console control thread's handle back, if that thread has not taken it.
void release_shared_child_process();

// For an entry loop that stopped because a console event's clean-up asked it
// to: waits for that removal (and makes sure of it), then ends the process
// with the code the system gives a process a console event ends.
[[noreturn]] void end_stopped_unpacking();

// Ends a run the user cancelled in the progress window: the clean-up removes
// the folder being unpacked, and the process exits with ERROR_CANCELLED.
[[noreturn]] void end_cancelled_run();

// A stopped entry loop's end: the user's cancel or a console event's.
[[noreturn]] void end_stopped_loop();
