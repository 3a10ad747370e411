// The folders of the payload's entries, reached through handles: a chain of
// open folders from the target folder down to the current entry's folder,
// each made or opened relative to the one above, and each file created
// relative to its folder, never through a link.
#pragma once

#include "system/syscalls.h"

// What placing an entry's file, or entering a folder on its way, gave.
enum class Placed {
    open,     // `handle` is the folder entered, or the file open for writing and empty
    foreign,  // something there already is a link
    clash,    // a file is there where a folder is wanted, or the other way
    failed,   // the system refused: `error` is its reason
};

struct PlacedFile {
    Placed as;
    HANDLE handle;
    DWORD error;
};

// Forgets any chain: the next entry starts again at the target folder.
void begin_entry_folders();

// Opens, for writing and empty, the file of the entry `name` (a sound entry
// name, relative to the target folder), making the folders above it that
// are missing. Starts at the target folder's held handle
// (LauncherState::target_folder), else at a handle opened on its path. A
// folder or file found there is opened itself, never a link's target, and
// used only when it is a plain folder, or a plain file with no other name.
PlacedFile place_entry_file(const wchar_t *name);

// Closes the folders the chain holds; the held target folder stays open.
void end_entry_folders();
