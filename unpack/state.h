// The launcher's process-wide state and the fixed sizes of its buffers.
#pragma once

#include "contract/contract.h"
#include "system/syscalls.h"  // the Windows types, also in host builds
#include <stddef.h>

constexpr size_t kPathCapacity = 4096;        // a wide path buffer
constexpr size_t kOwnPathCapacity = 4097;     // own-path caches and the launcher directory
constexpr size_t kCommandLineCapacity = 32768;
constexpr size_t kEntryNameCapacity = kEntryNameMaxUnits + 1;

constexpr int kDirectoryCacheLimit = 1024;

// The launcher's process-wide state, in one place. The main thread writes it;
// the console control thread reads the target directory and the flag, and
// takes the child's handle out of its slot.
struct LauncherState {
    // The folder that receives the payload's files: absolute, final before the
    // console control handler is registered, read-only afterwards.
    wchar_t target_directory[kPathCapacity];
    // Set once the payload is open, before the first entry is read; never cleared.
    volatile bool extraction_started;
    // The full path of the current entry.
    wchar_t entry_path[kPathCapacity];
    // The full path of the payload's first entry, the library a re-entered child loads.
    wchar_t first_entry_path[kPathCapacity];
    // The running child, for the console control thread; taken out of the slot
    // with an atomic exchange by whichever thread closes it.
    HANDLE shared_child_process;
    // Set once the child is started, never cleared: from then on an interrupt
    // is the application's to handle.
    volatile bool child_started;
    // Directories known to exist (heap copies, never released); element 0 is
    // the user's profile folder. `last_found` answered the last lookup.
    wchar_t *created_directories[kDirectoryCacheLimit];
    int created_directory_total;
    int last_found;
    // The cached mode's `<pid>_<6 digits>_<11 characters>` for the folders
    // this launcher makes or claims, made the first time one is.
    wchar_t unique_text[64];
};

extern LauncherState launcher_state;

// Puts the launcher's state, and the caches of its own paths, back as they
// are when the process starts (tests).
void reset_launcher_state();
