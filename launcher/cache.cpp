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
#include "launcher/cache.h"

#include "launcher/cache_check.h"
#include "launcher/child.h"
#include "launcher/cleanup.h"
#include "launcher/file_table.h"
#include "launcher/remove_tree.h"
#include "launcher/reentry.h"
#include "launcher/sweep.h"
#include "paths/bounded.h"
#include "paths/template.h"
#include "payload/reader.h"
#include "payload/stored.h"
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

// Removes a folder set aside: its tree when it is a plain folder, only the
// link itself when a link or junction stood at the cache folder's place.
void remove_aside(const wchar_t *path) {
    if (is_plain_directory(path)) remove_directory_tree(path);
    else sys.RemoveDirectoryW(path);
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

// Claims a folder beside the cache folder by renaming it to `<its id>.gone_<own unique>`,
// then removes it. A folder in use cannot be renamed on Windows and stays.
bool claim_and_remove(const wchar_t *name) {
    wchar_t id[17];
    for (int i = 0; i < 16; ++i) id[i] = name[i];
    id[16] = 0;
    wchar_t from[kPathCapacity], claimed_name[kPathCapacity], claimed[kPathCapacity];
    sibling_path(from, name);
    own_name(claimed_name, id, L"gone");
    sibling_path(claimed, claimed_name);
    if (!sys.MoveFileExW(from, claimed, 0)) return false;
    remove_directory_tree(claimed);
    return true;
}

// Removes, beside the cache folder, other ids' folders and leftovers of
// launchers that are gone; a bounded number per start, never a link.
void tidy_siblings(const wchar_t *own_id) {
    wchar_t pattern[kPathCapacity];
    sibling_path(pattern, L"*");
    claim_folders(pattern, [](const wchar_t *name, const void *context) {
        bool older = is_payload_id(name) && !same_wide_text(name, static_cast<const wchar_t *>(context));
        return (older || is_dead_leftover(name)) && claim_and_remove(name);
    }, own_id);
}

// Unpacks the payload into `launcher_state.target_directory` (the `.new_`
// folder); the launcher's reports end the process on failure, and its
// clean-up then removes that folder.
void unpack_into_target() {
    PayloadStatus opened = open_payload();
    if (opened != PayloadStatus::ok) report_payload_failure(opened);
    launcher_state.extraction_started = true;
    EntryLoopResult loop = extract_payload(false);
    if (loop.ending == EntryLoopEnding::stopped) end_stopped_unpacking();
    if (loop.ending != EntryLoopEnding::end_record) report_entry_loop_failure(loop);
    close_payload();
}

// Publishes a fresh copy of the payload at the cache folder; gives the folder
// the application runs from: the cache folder, or the fresh copy itself when
// a damaged cache folder is in use and cannot be replaced.
const wchar_t *publish_fresh_copy(const wchar_t *id, const unsigned char *table) {
    wchar_t name[kPathCapacity];
    own_name(name, id, L"new");
    sibling_path(launcher_state.target_directory, name);
    unpack_into_target();
    const wchar_t *fresh = launcher_state.target_directory;
    if (sys.MoveFileExW(fresh, cache_folder, 0)) {
        launcher_state.extraction_started = false;
        return cache_folder;
    }
    // Another start published first, or a damaged folder is in the way.
    if (cache_folder_is_whole(cache_folder, table)) {
        remove_directory_tree(fresh);
        launcher_state.extraction_started = false;
        return cache_folder;
    }
    // A link or junction in the folder's place is removed itself, never
    // followed nor renamed (a rename through it could move what it points at).
    if (!is_plain_directory(cache_folder)) {
        bool published = sys.RemoveDirectoryW(cache_folder) && sys.MoveFileExW(fresh, cache_folder, 0);
        launcher_state.extraction_started = false;
        return published ? cache_folder : fresh;
    }
    wchar_t aside_name[kPathCapacity], aside[kPathCapacity];
    own_name(aside_name, id, L"old");
    sibling_path(aside, aside_name);
    if (sys.MoveFileExW(cache_folder, aside, 0)) {
        if (sys.MoveFileExW(fresh, cache_folder, 0)) {
            launcher_state.extraction_started = false;
            remove_aside(aside);
            return cache_folder;
        }
        sys.MoveFileExW(aside, cache_folder, 0);
    }
    // In use: this run uses its own copy, which stays until a later start
    // finds its launcher gone.
    launcher_state.extraction_started = false;
    return fresh;
}

}  // namespace

bool is_payload_id(const wchar_t *name) { return starts_with_payload_id(name) && name[16] == 0; }

unsigned run_cached(const ArgumentVector &arguments) {
    const unsigned char *table = stored_file_table();
    if (table == nullptr || table_count(table) == 0) report_fatal("Error, attached data holds no application to run.");
    copy_wide_bounded(cache_folder, launcher_state.target_directory, kPathCapacity);
    wchar_t *last = last_backslash(cache_folder);
    const wchar_t *id = last != nullptr ? last + 1 : cache_folder;

    const wchar_t *folder = cache_folder;
    if (!cache_folder_is_whole(cache_folder, table)) folder = publish_fresh_copy(id, table);
    // Only a folder named by the id has this mode's siblings.
    if (is_payload_id(id)) tidy_siblings(id);

    TableFile entry = table_file(table, 0);
    copy_wide_bounded(library_path, folder, kPathCapacity);
    append_wide_bounded(library_path, L"\\", kPathCapacity);
    size_t at = wide_length(library_path);
    if (at + entry.units + 1 > kPathCapacity) report_fatal_with_code("Error, load DLL.", ERROR_FILENAME_EXCED_RANGE);
    for (uint32_t i = 0; i < entry.units; ++i)
        library_path[at + i] = static_cast<wchar_t>(entry.name[2 * i] | (entry.name[2 * i + 1] << 8));
    library_path[at + entry.units] = 0;
    set_hand_off_variables();
    return static_cast<unsigned>(hand_off_to_library(folder, library_path, arguments.count, arguments.values));
}
