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
    // The entry loop runs; a stop was asked of it (never cleared); the bytes
    // of file data it wrote. Read and written atomically: other threads ask.
    volatile bool unpacking;
    volatile bool stop_requested;
    volatile uint64_t unpacked_bytes;
    // The target directory as the launcher made it (or found it the user's
    // alone), held open since: its removal works through this handle and
    // never lists the folder above, which a shared temporary folder may not
    // let it list. Null when none is held; closed once its deletion is
    // accepted, or when the folder stops being this run's to remove.
    HANDLE target_folder;
    // Set when this run made the target directory: whatever is found in it
    // then, the run wrote itself.
    bool target_folder_made;
    // The held folder's volume serial number and file id.
    DWORD target_folder_volume;
    unsigned long long target_folder_id;
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
    // Set by the cached mode before it unpacks: each file written gets
    // kCachedWriteTime and reaches the disk before it is closed, so that the
    // folder can be published whole and later checks can tell a file changed.
    bool cached_files;
    // The cached mode's handles on the folder it runs from and on the entry
    // library, which keep other starts from claiming them; the system closes
    // them when the process ends (tests close them before a reset).
    HANDLE held_folder;
    HANDLE held_library;
    // The cached mode's `<pid>_<6 digits>_<11 characters>` for the folders
    // this launcher makes or claims, made the first time one is.
    wchar_t unique_text[64];
};

// The last-write time of every file the cached mode unpacks, in 100-ns units
// since 1601: 2001-01-01 00:00:00 UTC, a whole even second that every file
// system the folder may live on keeps exactly.
constexpr unsigned long long kCachedWriteTime = 126227808000000000ull;

extern LauncherState launcher_state;

// Puts the launcher's state, and the caches of its own paths, back as they
// are when the process starts (tests).
void reset_launcher_state();
