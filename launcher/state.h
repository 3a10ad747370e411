// The launcher's process-wide state and the fixed sizes of its buffers.
#pragma once

#include "contract/contract.h"
#include "system/syscalls.h"  // the Windows types, also in host builds
#include <stddef.h>

constexpr size_t kPathCapacity = 4096;        // a wide path buffer
constexpr size_t kOwnPathCapacity = 4097;     // own-path caches and the launcher directory
constexpr size_t kCommandLineCapacity = 32768;
constexpr size_t kEntryNameCapacity = kEntryNameMaxUnits + 1;

// The folder that receives the payload's files: absolute, final before the
// console control handler is registered, read-only afterwards.
extern wchar_t target_directory[kPathCapacity];
// Set once the payload is open, before the first entry is read; never cleared.
extern volatile bool extraction_started;
// The full path of the current entry; named in the open-failure message.
extern wchar_t entry_path[kPathCapacity];
// The full path of the payload's first entry, the library a re-entered child loads.
extern wchar_t first_entry_path[kPathCapacity];
// The running child, for the console control thread; taken out of the slot
// with an atomic exchange by whichever thread closes it.
extern HANDLE shared_child_process;

