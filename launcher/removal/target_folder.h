// The folder the launcher writes code into and then loads from: made the
// running user's alone, or, found already there, used only when it is.
#pragma once

#include <stddef.h>

#include "system/syscalls.h"
#include "unpack/extract.h"

// The running user, as the process's token says.
struct RunningUser {
    unsigned char sid[68];  // the user's SID (at most SECURITY_MAX_SID_SIZE bytes)
    DWORD integrity;        // the token's mandatory level: 0x2000 medium, 0x3000 high, 0x4000 system
    bool elevated;
};

// Reads the running user from the process's token; false when it cannot.
bool read_running_user(RunningUser &user);

// True when the process runs elevated or as SYSTEM, or its token cannot be
// read: then no folder that a standard process could write is trusted.
bool runs_elevated();

// Writes the descriptor the target folder is made with into `out`: owned by
// the user, full control for the user, SYSTEM and Administrators, nothing inherited from
// the parent, inherited by everything inside; for an elevated or SYSTEM
// process a mandatory label of its level that no lower process writes up
// to. Gives its size, 0 when it does not fit in `capacity` bytes.
size_t make_protected_descriptor(const RunningUser &user, unsigned char *out, size_t capacity);

// True when the open `folder` is a plain folder (no link) owned by the user
// that grants no one but the user, SYSTEM and Administrators any right to
// change it or what is made in it (entries for what is made inside count),
// on a volume that keeps access lists; for an elevated or SYSTEM user it
// must also carry a label of at least the user's level, inherited inside.
bool folder_is_users_alone(HANDLE folder, const RunningUser &user);

// While on, make_protected_descriptor() gives an elevated or SYSTEM run's
// folders Administrators as owner and lets the user (whose standard
// processes share its SID) only read them: an elevated run's cache folders.
void protect_for_elevated_cache(bool on);

// Makes the folder `path` (the levels above as the system makes them) with
// the protected descriptor for `user`. Gives 0 when made,
// ERROR_ALREADY_EXISTS when something is there already, else the failure's
// code (ERROR_ACCESS_DENIED when the descriptor cannot be made).
DWORD create_protected_folder(const wchar_t *path, const RunningUser &user);

// True when the existing folder at `path` is a plain folder (no link) owned
// by Administrators, labelled high or system with no-write-up, that grants
// no one but SYSTEM and Administrators any right to change it.
bool folder_is_administrators_alone(const wchar_t *path);

// Makes the target directory (the levels above it as the system makes
// them) with the protected descriptor. A folder already there is used only
// when it is the user's alone and holds no link or junction; else the
// launcher ends with one line naming it and exit code 2, having written
// nothing. Either way the folder is then held open, sharing no deletion, for
// its removal (LauncherState::target_folder).
void make_target_folder();

// Holds the folder a child runs the application from
// (LauncherState::held_folder) until the process ends, sharing no deletion:
// should its parent die, no one renames or removes it under the application
// (a sweep taking it for a killed launcher's leftover).
void hold_running_folder(const wchar_t *path);

// Removes the target directory, through the held handle while there is
// one (never listing the folder above), else by path; retries for about two
// seconds by the clock while it persists.
void remove_target_folder();

// Closes the held handle: the folder is no longer this run's to remove
// through it (the cached mode publishes or keeps it).
void release_target_folder();

// Reports an entry loop's failure and exits with 2; after a failure for lack
// of space it first removes what was unpacked. Other failures keep their files.
[[noreturn]] void report_unpacking_failure(const EntryLoopResult &result);
