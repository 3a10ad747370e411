// Removal of folders that killed launchers left beside the target folder.
#pragma once

#include <stddef.h>

#include "removal/folder_handles.h"
#include "system/syscalls.h"

// A start looks at no more names, and removes no more folders, than these.
constexpr int kSweepNamesLooked = 64;
constexpr int kSweepFoldersRemoved = 2;

// Lists the names of `folder` that match `mask` through the folder's handle
// and gives each that the listing shows as a folder, not a link or junction,
// to `claim` (the folder's handle, the entry and its name), which tells
// whether it removed that folder (claim_and_remove_folder), until
// kSweepFoldersRemoved are removed or kSweepNamesLooked names looked at. The
// names are a random sample of the listing's folders, drawn afresh at each call.
void claim_folders(const wchar_t *folder, const wchar_t *mask,
                   bool (*claim)(HANDLE folder, const ListedEntry &entry, const wchar_t *name, const void *context),
                   const void *context);

// Gives the literal text before "{PID}_{TIME_US}_{RANDOM}" when that ends the
// template's last component and the text holds no other reference (for the
// built-in template "onefile_"), or nullptr: then no folder is swept.
const wchar_t *leftover_prefix(const wchar_t *path_template, wchar_t *prefix, size_t capacity);

// True when `name` is `prefix`, a process id, six digits and eleven base64url
// characters joined by underscores, exactly; the id goes to `process_id`.
bool is_leftover_name(const wchar_t *name, const wchar_t *prefix, unsigned long *process_id);

// Looks at a bounded number of folders of the leftover form beside
// `target` and removes those whose launcher has ended and that no
// process uses. Never follows a link, never fails: what cannot be removed stays.
void sweep_leftover_folders(const wchar_t *target, const wchar_t *path_template);

// Runs sweep_leftover_folders on a thread of its own (none when the thread
// cannot be made: a later start sweeps). Both texts must outlive the sweep.
void start_leftover_sweep(const wchar_t *target, const wchar_t *path_template);

// Asks the sweep to stop and waits for it, which takes one entry's removal,
// and never more than a second; a folder it claimed and did not finish
// stays under this launcher's id for a later start.
void stop_leftover_sweep();

// True when the launcher process `id` has ended or never was; false when a
// process with that id runs or the system will not say.
bool launcher_gone(unsigned long id);
