// Folders worked through open handles: a folder listed through its handle,
// each entry opened relative to it without following a link, and judged
// twice, by the listing and by the handle, before anything acts on it.
#pragma once

#include <stddef.h>

#include "system/syscalls.h"

// An entry as a folder's listing gave it. `name` points into the listing's
// buffer and holds `bytes` bytes (no terminator); `id` is the file system's
// id of the entry (0 where the file system gives none).
struct ListedEntry {
    const wchar_t *name;
    size_t bytes;
    DWORD attributes;
    long long id;
};

// A folder's listing through its handle; entries come one after another
// from `buffer`, refilled by the system as they run out.
struct FolderListing {
    HANDLE folder;
    const wchar_t *mask;  // the names to list ("*" patterns as the system takes them), or nullptr for all
    unsigned char *buffer;
    size_t capacity;
    size_t at;      // offset of the next entry in `buffer`
    bool has_next;  // `at` holds an entry
    bool started;   // the system has been asked once
};

// The bytes a listing buffer needs to hold at least one entry of any name.
constexpr size_t kListingBufferBytes = 4096;

// Gives the listing's next entry other than "." and ".."; false at the end
// or when the folder cannot be listed.
bool next_listed_entry(FolderListing &listing, ListedEntry &entry);

// What an entry opened relative to its folder turned out to be.
enum class OpenedAs {
    refused,  // not opened, or not what the listing showed: nothing may act on it
    folder,   // a plain folder, by the listing and by the handle
    file,     // a plain file, by the listing and by the handle
    link,     // the link or junction itself (where the system opens links themselves, as Windows does)
};

// An entry opened relative to its folder: what it is, and when not
// `refused`, the open handle and the handle's attributes.
struct OpenedEntry {
    OpenedAs as;
    HANDLE handle;
    DWORD attributes;
};

// Opens `entry` of `folder` without following a link, for deletion (and
// listing, when the listing shows a folder), and judges it. A listing that
// says link with a handle that does not is the system following the link
// anyway (Wine does): refused. A handle whose id is not the listed entry's
// is something swapped in since: refused. A handle that is the link itself
// is a link, whatever the listing said. An entry under another program's
// opportunistic lock is refused at once, never waited for.
OpenedEntry open_listed_entry(HANDLE folder, const ListedEntry &entry);

// Opens an existing folder by its path for listing and for opening its
// entries; INVALID_HANDLE_VALUE when it cannot. The path may pass through
// links: only what is below the folder is judged.
HANDLE open_folder_path(const wchar_t *path);

// Deletes what `handle` is open on (a file, an empty folder, a link itself):
// POSIX semantics and read-only ignored where the system has them, else the
// read-only attribute cleared and the classic deletion. `attributes` are
// the handle's. True when the system accepted.
bool delete_through_handle(HANDLE handle, DWORD attributes);

// Renames the entry open as `handle` to `name` in `folder` (its own folder),
// never replacing anything. True when the system accepted.
bool rename_through_handle(HANDLE handle, HANDLE folder, const wchar_t *name);
