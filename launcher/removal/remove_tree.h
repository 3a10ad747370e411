// Removal of a directory with everything below it, through handles: for
// trees of any depth, and never following a link, not even one swapped in
// while the removal runs. A removal that is never asked to stop hands the
// files of a large tree to a few helper threads while the processors have
// time to spare; each file is judged and deleted there as the walk would.
#pragma once

#include "removal/folder_handles.h"

// Deletes the files and folders below `directory` (an absolute path), then the
// directory itself, as far as the system allows; what is held open stays.
// Links, the directory itself included, are removed themselves where the
// system lets a link be opened as itself, else left; never followed.
void remove_directory_tree(const wchar_t *directory);

// Empties the folder open as `folder` (opened by open_listed_entry, with the
// handle's `attributes`) and deletes it; closes the handle. Once `*stop` is
// set the removal ends before its next entry, leaving the rest in place.
void remove_open_folder(HANDLE folder, DWORD attributes, const volatile bool *stop = nullptr);

// Deletes everything below the folder open as `folder` (a handle that may
// list it), listing it from its start; the folder and the handle stay.
void empty_held_folder(HANDLE folder);

// Claims the folder `entry` of `parent` by renaming it to `claimed_name` in
// the same parent, through a handle opened on it, then removes it through
// that handle. A link, or a folder the system will not rename (one in use,
// on Windows), stays. True when it was claimed. `stop` as for remove_open_folder.
bool claim_and_remove_folder(HANDLE parent, const ListedEntry &entry, const wchar_t *claimed_name,
                             const volatile bool *stop = nullptr);

// True for the "." and ".." entries a folder's listing gives.
bool is_dot_entry(const wchar_t *name);
