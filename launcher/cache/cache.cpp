// The cached mode. The cache folder is `<parent>\<payload id>`; beside it, in
// the same parent, live only names of these forms, all of them this mode's:
//   <id>                                  a published folder (16 lowercase hex digits)
//   <id>.new_<pid>_<6 digits>_<11 chars>  an unpacking in progress, published by a rename
//   <id>.old_<...>                        a damaged folder moved aside to be replaced
//   <id>.gone_<...>                       a folder claimed for removal
// A folder is published only complete: its files are written and closed in
// the `.new_` folder, which a rename then puts in place, so no application
// ever sees a partial file at the published path. The renames are also the
// locks: of several first starts one rename wins and the others remove their
// own copies; and on Windows a folder cannot be renamed while a process
// holds a file in it open or runs code from it, so a folder in use is never
// replaced nor removed. A launcher killed midway leaves a folder that names
// a dead process, which a later start removes.
//
// Names cannot tell two applications apart (two programs called tool.exe
// share `<cache dir>\tool`), so a published folder carries a marker naming
// the executable that published it, and a start removes another id's folder
// only when its marker names this very executable (an older version replaced
// in place) or one that no longer exists. A folder without a marker is never
// touched.
//
// A start holds its folder from the check until the process ends: a handle
// on the folder and one on the entry library, neither sharing deletion, so
// that another start cannot claim (rename) the folder in between, even
// where the system would allow renaming a folder that holds a loaded library.
#include "cache/cache.h"

#include "cache/cache_check.h"
#include "cache/file_table.h"
#include "progress/progress_window.h"
#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/identity.h"
#include "paths/template.h"
#include "payload/reader.h"
#include "payload/stored.h"
#include "removal/remove_tree.h"
#include "removal/sweep.h"
#include "removal/target_folder.h"
#include "system/syscalls.h"
#include "unpack/extract.h"
#include "unpack/report.h"
#include "unpack/state.h"

namespace {

// The published folder, kept apart from the target directory, which the
// console control thread may remove while it names the folder being unpacked.
wchar_t cache_folder[kPathCapacity];
wchar_t library_path[kPathCapacity];

// True when `name` starts with 16 lowercase hex digits, a payload id.
bool starts_with_payload_id(const wchar_t *name) {
    for (size_t i = 0; i < kPayloadIdUnits; ++i)
        if (!((name[i] >= L'0' && name[i] <= L'9') || (name[i] >= L'a' && name[i] <= L'f'))) return false;
    return true;
}

// Writes `<parent of the cache folder>\<name>` to `path`.
void sibling_path(wchar_t *path, const wchar_t *name) {
    copy_wide_bounded(path, cache_folder, kPathCapacity);
    wchar_t *cut = last_backslash(path);
    if (cut != nullptr) cut[1] = 0;
    append_wide_bounded(path, name, kPathCapacity);
}

// This launcher's `<pid>_<6 digits>_<11 characters>`, made the first time a
// folder is made or claimed: a start that finds its folder whole makes none.
const wchar_t *own_unique_text() {
    wchar_t *unique = launcher_state.unique_text;
    if (unique[0] == 0 && !expand_path_template(unique, L"{PID}_{TIME_US}_{RANDOM}", 64)) sys.fail_fast();
    return unique;
}

// `<id>.<kind>_<pid>_<6 digits>_<11 characters>` with this launcher's id and
// unique text, for a folder it makes or claims.
void own_name(wchar_t *name, const wchar_t *id, const wchar_t *kind) {
    copy_wide_bounded(name, id, kPathCapacity);
    append_wide_bounded(name, L".", kPathCapacity);
    append_wide_bounded(name, kind, kPathCapacity);
    append_wide_bounded(name, L"_", kPathCapacity);
    append_wide_bounded(name, own_unique_text(), kPathCapacity);
}

// True when `name` is `<id>.<new|old|gone>_...` of a launcher that is gone.
bool is_dead_leftover(const wchar_t *name) {
    if (!starts_with_payload_id(name) || name[16] != L'.') return false;
    const wchar_t *kinds[] = {L"new_", L"old_", L"gone_"};
    for (const wchar_t *kind : kinds) {
        size_t length = wide_length(kind);
        size_t i = 0;
        while (i < length && name[17 + i] == kind[i]) ++i;
        unsigned long process_id = 0;
        if (i == length && is_leftover_name(name + 17 + length, L"", &process_id))
            return process_id != sys.GetCurrentProcessId() && launcher_gone(process_id);
    }
    return false;
}

// Writes into `folder` the marker naming this executable (canonical form),
// flushed like the files it travels with. A payload file of the same name
// is left as it is: the folder then has no marker and is never pruned.
void write_marker(const wchar_t *folder) {
    wchar_t path[kPathCapacity];
    copy_wide_bounded(path, folder, kPathCapacity);
    append_wide_bounded(path, L"\\", kPathCapacity);
    append_wide_bounded(path, kPublisherMarker, kPathCapacity);
    HANDLE file = sys.CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const wchar_t *own = own_executable_path(true);
    DWORD bytes = static_cast<DWORD>(wide_length(own) * sizeof(wchar_t)), written = 0;
    bool whole = sys.WriteFile(file, own, bytes, &written, nullptr) && written == bytes && sys.FlushFileBuffers(file);
    sys.CloseHandle(file);
    // A marker cut short names no executable that exists: it would let the
    // folder go, so it goes itself.
    if (!whole) sys.DeleteFileW(path);
}

// True when a marker's text names what a launcher writes there: a program on
// a local drive, `X:\...\name.exe`. A planted marker could name a share
// (every start would then reach out to it), a device, a stream or a relative
// path; such a marker counts as none.
bool names_local_program(const wchar_t *path) {
    wchar_t drive = static_cast<wchar_t>(path[0] | 0x20);
    if (drive < L'a' || drive > L'z' || path[1] != L':' || path[2] != L'\\') return false;
    size_t length = wide_length(path);
    if (length < 8) return false;
    const wchar_t *end = path + length - 4;
    if (end[-1] == L'\\' || end[0] != L'.' || (end[1] | 0x20) != L'e' || (end[2] | 0x20) != L'x' ||
        (end[3] | 0x20) != L'e')
        return false;
    // One component after another, none empty, "." or "..", nor holding a colon or a slash.
    size_t start = 3;
    for (size_t i = 3; i <= length; ++i) {
        if (i < length && path[i] != L'\\') {
            if (path[i] == L':' || path[i] == L'/' || path[i] < 0x20) return false;
            continue;
        }
        size_t units = i - start;
        if (units == 0 || (path[start] == L'.' && (units == 1 || (units == 2 && path[start + 1] == L'.')))) return false;
        start = i + 1;
    }
    return true;
}

// True when the folder `name` beside the cache folder is an older version
// of this application: its marker names this executable, or an executable
// that no longer exists (moved or removed). No marker, one that cannot be
// read or names no local program, or an executable that is still there or
// cannot be looked at: false.
bool published_by_this_or_gone(const wchar_t *name) {
    wchar_t path[kPathCapacity], published_by[kOwnPathCapacity];
    sibling_path(path, name);
    append_wide_bounded(path, L"\\", kPathCapacity);
    append_wide_bounded(path, kPublisherMarker, kPathCapacity);
    HANDLE file = sys.CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD read = 0;
    bool got = sys.ReadFile(file, published_by, (kOwnPathCapacity - 1) * sizeof(wchar_t), &read, nullptr);
    sys.CloseHandle(file);
    if (!got || read == 0 || read % sizeof(wchar_t) != 0) return false;
    published_by[read / sizeof(wchar_t)] = 0;
    if (wide_length(published_by) != read / sizeof(wchar_t)) return false;
    if (!names_local_program(published_by)) return false;
    if (same_wide_text(published_by, own_executable_path(true))) return true;
    if (sys.GetFileAttributesW(published_by) != INVALID_FILE_ATTRIBUTES) return false;
    DWORD error = sys.GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Claims the folder `entry` of the cache folder's parent by renaming it to
// `<its id>.gone_<own unique>` through a handle, then removes it. A folder
// in use cannot be renamed on Windows and stays.
bool claim_and_remove(HANDLE parent, const ListedEntry &entry, const wchar_t *name) {
    wchar_t id[17];
    for (int i = 0; i < 16; ++i) id[i] = name[i];
    id[16] = 0;
    wchar_t claimed_name[kPathCapacity];
    own_name(claimed_name, id, L"gone");
    return claim_and_remove_folder(parent, entry, claimed_name);
}

// Removes, beside the cache folder, older versions' folders and leftovers of
// launchers that are gone; a bounded number per start, never a link.
void tidy_siblings(const wchar_t *own_id) {
    wchar_t parent[kPathCapacity];
    sibling_path(parent, L"");
    claim_folders(parent, L"*", [](HANDLE folder, const ListedEntry &entry, const wchar_t *name, const void *context) {
        bool older = is_payload_id(name) && !same_wide_text(name, static_cast<const wchar_t *>(context)) &&
                     published_by_this_or_gone(name);
        return (older || is_dead_leftover(name)) && claim_and_remove(folder, entry, name);
    }, own_id);
}

// Holds `folder` (the link itself, should one stand there) for this process:
// others may list and read it but not rename or remove it. Without the
// handle the start goes on unprotected, as before.
void hold_folder(const wchar_t *folder) {
    launcher_state.held_folder = sys.CreateFileW(folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Set when the cache folder is a plain folder that is not the user's alone
// (another user's, or one others may write, as a folder in a shared
// parent can be): whole or not, it is neither used nor removed.
bool cache_refused;

// True when the folder held is a plain folder that fails the check of a
// folder found there before. A link in its place is left to the repair,
// which removes the link itself. An elevated run's cache is Administrators'
// and lives in a folder checked as theirs alone at every start.
bool held_folder_is_foreign() {
    if (runs_elevated()) return false;
    HANDLE held = launcher_state.held_folder;
    BY_HANDLE_FILE_INFORMATION found = {};
    if (held == INVALID_HANDLE_VALUE || !sys.GetFileInformationByHandle(held, &found)) return false;
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY)
        return false;
    RunningUser user;
    return !read_running_user(user) || !folder_is_users_alone(held, user);
}

void release_folder() {
    HANDLE held = launcher_state.held_folder;
    if (held != nullptr && held != INVALID_HANDLE_VALUE) sys.CloseHandle(held);
    launcher_state.held_folder = nullptr;
}

// Holds `folder`, then checks it: the folder that passed the check is the
// one this start keeps. False (nothing held) when it is not whole.
bool hold_if_whole(const wchar_t *folder, const unsigned char *table) {
    hold_folder(folder);
    cache_refused = held_folder_is_foreign();
    if (!cache_refused && cache_folder_is_whole(folder, table)) return true;
    release_folder();
    return false;
}

// Holds the entry library for this process: readable, loadable, but neither
// written, renamed nor deleted by anyone else.
void hold_library(const wchar_t *path) {
    launcher_state.held_library =
        sys.CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The folder a re-entered start runs from: the one its parent ran from
// (TARVEN_ONEFILE_FOLDER), when that is the cache folder or one of this
// id's fresh copies beside it, else the cache folder.
const wchar_t *parent_folder() {
    wchar_t *named = get_environment_value("TARVEN_ONEFILE_FOLDER");
    if (named == nullptr || same_wide_text(named, cache_folder)) return cache_folder;
    size_t length = wide_length(cache_folder);
    const wchar_t fresh[] = L".new_";
    for (size_t i = 0; i < length; ++i)
        if (named[i] != cache_folder[i]) return cache_folder;
    for (size_t i = 0; fresh[i] != 0; ++i)
        if (named[length + i] != fresh[i]) return cache_folder;
    for (const wchar_t *unit = named + length; *unit != 0; ++unit)
        if (*unit == L'\\' || *unit == L'/') return cache_folder;
    return named;
}

// Unpacks the payload into `launcher_state.target_directory` (the `.new_`
// folder); the launcher's reports end the process on failure, and its
// clean-up then removes that folder. False when the user closed the
// progress window first: the run is cancelled.
bool unpack_into_target() {
    PayloadStatus opened = open_payload();
    if (opened != PayloadStatus::ok) report_payload_failure(opened);
    launcher_state.cached_files = true;
    make_target_folder();
    launcher_state.extraction_started = true;
    begin_unpacking_progress();
    EntryLoopResult loop = extract_payload(false);
    if (loop.ending == EntryLoopEnding::stopped) return false;
    if (loop.ending != EntryLoopEnding::end_record) report_unpacking_failure(loop);
    // A close of the window from here on no longer cancels: the folder is published.
    return progress_allows_start();
}

// The folder this run keeps, held: from here on the clean-up no longer
// removes the fresh copy, published or kept.
const wchar_t *settle_on(const wchar_t *folder) {
    launcher_state.extraction_started = false;
    hold_folder(folder);
    return folder;
}

// Publishes a fresh copy of the payload at the cache folder; gives the folder
// the application runs from: the cache folder, or the fresh copy itself when
// a damaged cache folder is in use and cannot be replaced; null when the
// user cancelled the unpacking.
const wchar_t *publish_fresh_copy(const wchar_t *id, const unsigned char *table) {
    wchar_t name[kPathCapacity];
    own_name(name, id, L"new");
    sibling_path(launcher_state.target_directory, name);
    if (!unpack_into_target()) return nullptr;
    const wchar_t *fresh = launcher_state.target_directory;
    write_marker(fresh);
    // Renamed into place, kept or removed by path from here on: the handle
    // held for removing a failed unpacking goes.
    release_target_folder();
    if (sys.MoveFileExW(fresh, cache_folder, 0)) return settle_on(cache_folder);
    // Another start published first, or a damaged folder is in the way.
    if (hold_if_whole(cache_folder, table)) {
        remove_directory_tree(fresh);
        launcher_state.extraction_started = false;
        return cache_folder;
    }
    // Not the user's: left as it is; this run uses its own copy, which stays
    // until a later start finds its launcher gone.
    if (cache_refused) return settle_on(fresh);
    // A link or junction in the folder's place is removed itself, never
    // followed nor renamed (a rename through it could move what it points at).
    if (!is_plain_directory(cache_folder)) {
        remove_directory_tree(cache_folder);
        return settle_on(sys.MoveFileExW(fresh, cache_folder, 0) ? cache_folder : fresh);
    }
    wchar_t aside_name[kPathCapacity], aside[kPathCapacity];
    own_name(aside_name, id, L"old");
    sibling_path(aside, aside_name);
    if (sys.MoveFileExW(cache_folder, aside, 0)) {
        if (sys.MoveFileExW(fresh, cache_folder, 0)) {
            settle_on(cache_folder);
            // Its tree, or only the link itself when a link or junction stood
            // at the cache folder's place.
            remove_directory_tree(aside);
            return cache_folder;
        }
        sys.MoveFileExW(aside, cache_folder, 0);
    }
    // In use: this run uses its own copy, which stays until a later start
    // finds its launcher gone.
    return settle_on(fresh);
}

}  // namespace

bool is_payload_id(const wchar_t *name) { return starts_with_payload_id(name) && name[16] == 0; }

const wchar_t *prepare_cached_folder(bool reentered, const wchar_t **library) {
    const unsigned char *table = stored_file_table();
    if (table == nullptr || table_count(table) == 0) report_fatal("Error, attached data holds no application to run.");
    copy_wide_bounded(cache_folder, launcher_state.target_directory, kPathCapacity);
    wchar_t *last = last_backslash(cache_folder);
    const wchar_t *id = last != nullptr ? last + 1 : cache_folder;

    const wchar_t *folder = cache_folder;
    if (reentered) {
        // Started again by the application: where its parent ran, which
        // the parent checked and holds.
        folder = parent_folder();
        hold_folder(folder);
    } else if (!hold_if_whole(cache_folder, table)) {
        folder = publish_fresh_copy(id, table);
        if (folder == nullptr) return nullptr;
    }
    // Only a folder named by the id has this mode's siblings.
    if (!reentered && is_payload_id(id)) tidy_siblings(id);

    TableFile entry = table_file(table, 0);
    copy_wide_bounded(library_path, folder, kPathCapacity);
    append_wide_bounded(library_path, L"\\", kPathCapacity);
    size_t at = wide_length(library_path);
    if (at + entry.units + 1 > kPathCapacity) report_fatal_with_code("Error, load DLL.", ERROR_FILENAME_EXCED_RANGE);
    for (uint32_t i = 0; i < entry.units; ++i)
        library_path[at + i] = static_cast<wchar_t>(entry.name[2 * i] | (entry.name[2 * i + 1] << 8));
    library_path[at + entry.units] = 0;
    hold_library(library_path);
    set_environment_value("TARVEN_ONEFILE_FOLDER", folder);
    *library = library_path;
    return folder;
}
