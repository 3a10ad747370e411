// The entry loop and the directories it creates on the way.
#include "unpack/extract.h"

#include "unpack/report.h"
#include "unpack/state.h"
#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/template.h"
#include "payload/reader.h"
#include "system/syscalls.h"

namespace {

constexpr DWORD kWriteChunk = 32768;

wchar_t entry_name[kEntryNameCapacity];
unsigned char write_buffer[kWriteChunk];

constexpr EntryLoopResult kDamaged = {EntryLoopEnding::damaged, nullptr, 0};

// Reads one name into the entry name buffer; false when the stream fails or
// the name has no terminator within its bound (damage).
bool read_entry_name() {
    for (size_t i = 0; i < kEntryNameCapacity; ++i) {
        unsigned char unit[2];
        if (read_payload_bytes(unit, 2) != PayloadStatus::ok) return false;
        entry_name[i] = static_cast<wchar_t>(unit[0] | (unit[1] << 8));
        if (entry_name[i] == 0) return true;
    }
    return false;
}

// `code` is the system's reason, or 0 when it gave none.
EntryLoopResult write_failure(DWORD code) {
    return {EntryLoopEnding::cannot_write, nullptr, code != 0 ? code : static_cast<DWORD>(ERROR_WRITE_FAULT)};
}

// A name must stay below the target directory: no leading separator, no
// drive or stream colon, and no component that Windows would read as the
// folder itself or its parent ("..", and "." or ".. " once it drops trailing
// dots and spaces). Forward slashes separate components for Windows too.
bool stays_inside(const wchar_t *name) {
    if (name[0] == L'\\' || name[0] == L'/') return false;
    bool only_dots_and_spaces = true;
    for (const wchar_t *unit = name;; ++unit) {
        if (*unit == 0 || *unit == L'\\' || *unit == L'/') {
            if (only_dots_and_spaces) return false;  // also an empty component
            if (*unit == 0) return true;
            only_dots_and_spaces = true;
        } else if (*unit == L':') {
            return false;
        } else if (*unit != L'.' && *unit != L' ') {
            only_dots_and_spaces = false;
        }
    }
}

// Writes the entry's data; gives `end_record` when all of it was written.
EntryLoopResult write_entry_data(HANDLE file, uint64_t remaining) {
    while (remaining > 0) {
        DWORD chunk = remaining < kWriteChunk ? static_cast<DWORD>(remaining) : kWriteChunk;
        if (read_payload_bytes(write_buffer, chunk) != PayloadStatus::ok) return kDamaged;
        DWORD written = 0;
        if (!sys.WriteFile(file, write_buffer, chunk, &written, nullptr)) return write_failure(sys.GetLastError());
        // A short write has lost data as surely as a failed one. The call
        // succeeded, so the last error is stale (183 after CREATE_ALWAYS
        // replaced a file) and must not be named as the cause.
        if (written != chunk) return write_failure(ERROR_WRITE_FAULT);
        remaining -= chunk;
    }
    return {EntryLoopEnding::end_record, nullptr, 0};
}

// The cached mode's end of a file, through its open handle: the fixed
// last-write time its check compares, then a flush, so that the rename that
// publishes the folder cannot reach the disk before the data (a power loss
// would otherwise leave files of the right size full of zeros).
bool finish_cached_file(HANDLE file) {
    FILETIME fixed{static_cast<DWORD>(kCachedWriteTime), static_cast<DWORD>(kCachedWriteTime >> 32)};
    return sys.SetFileTime(file, nullptr, nullptr, &fixed) && sys.FlushFileBuffers(file);
}

}  // namespace

void make_absolute_path() {
    wchar_t full[kPathCapacity];
    DWORD length = sys.GetFullPathNameW(launcher_state.target_directory, kPathCapacity, full, nullptr);
    if (length == 0 || length > kPathCapacity - 1) sys.fail_fast();
    copy_wide_bounded(launcher_state.target_directory, full, kPathCapacity);
}

bool create_directory_cached(const wchar_t *path) {
    if (launcher_state.created_directory_total == 0) {
        wchar_t home[kPathCapacity];
        if (!expand_path_template(home, L"{HOME}", kPathCapacity)) report_expansion_failure(L"{HOME}");
        launcher_state.created_directories[launcher_state.created_directory_total++] = duplicate_wide(home);
    }
    // Entries come sorted, so a file's folder is most often the one before:
    // asking that first gives the same answer as the scan, without the scan.
    if (same_wide_text(launcher_state.created_directories[launcher_state.last_found], path)) return true;
    for (int i = 0; i < launcher_state.created_directory_total; ++i)
        if (same_wide_text(launcher_state.created_directories[i], path)) {
            launcher_state.last_found = i;
            return true;
        }
    if (path[0] != 0 && path[1] == L':' && path[2] == 0) return true;
    if (!sys.CreateDirectoryW(path, nullptr) && sys.GetLastError() != ERROR_ALREADY_EXISTS) return false;
    if (launcher_state.created_directory_total < kDirectoryCacheLimit) {
        launcher_state.last_found = launcher_state.created_directory_total;
        launcher_state.created_directories[launcher_state.created_directory_total++] = duplicate_wide(path);
    }
    return true;
}

// Walks up one level at a time until a folder exists or can be made, then
// back down making the levels that failed. A loop, not recursion: a 1023-unit
// name holds up to 511 levels, and as many 8 KB frames overflow the 2 MB stack.
bool create_parent_directories(const wchar_t *path) {
    wchar_t parent[kPathCapacity];
    if (path == nullptr) sys.fail_fast();
    copy_wide_bounded(parent, path, kPathCapacity);
    int failed_levels = 0;
    bool at_top = false;
    for (;;) {
        size_t cut = 0;
        // A backslash at index 0 never counts: "\\x" has no parent to create.
        for (size_t i = 0; parent[i] != 0; ++i)
            if (i > 0 && parent[i] == L'\\') cut = i;
        if (cut == 0) {
            at_top = true;
            break;
        }
        parent[cut] = 0;
        if (create_directory_cached(parent)) break;
        ++failed_levels;
    }
    if (failed_levels == 0) return true;
    // Each level's end is the separator cut off on the way up.
    if (!at_top) parent[wide_length(parent)] = L'\\';
    for (;;) {
        bool made = create_directory_cached(parent);
        if (--failed_levels == 0) return made;
        parent[wide_length(parent)] = L'\\';
    }
}

int created_directory_count() { return launcher_state.created_directory_total; }

EntryLoopResult extract_payload(bool reentered) {
    for (;;) {
        if (!read_entry_name()) return kDamaged;
        if (entry_name[0] == 0) return {EntryLoopEnding::end_record, nullptr, 0};
        // A name that would reach outside the target directory is damage, never written.
        if (!stays_inside(entry_name)) return kDamaged;
        copy_wide_bounded(launcher_state.entry_path, launcher_state.target_directory, kPathCapacity);
        append_wide_bounded(launcher_state.entry_path, L"\\", kPathCapacity);
        append_wide_bounded(launcher_state.entry_path, entry_name, kPathCapacity);
        if (launcher_state.first_entry_path[0] == 0) {
            copy_wide_bounded(launcher_state.first_entry_path, launcher_state.entry_path, kPathCapacity);
            if (reentered) return {EntryLoopEnding::first_entry, launcher_state.first_entry_path, 0};
        }
        unsigned char size_bytes[8];
        if (read_payload_bytes(size_bytes, 8) != PayloadStatus::ok) return kDamaged;
        uint64_t size = 0;
        for (int i = 7; i >= 0; --i) size = (size << 8) | size_bytes[i];
        create_parent_directories(launcher_state.entry_path);
        HANDLE file = sys.CreateFileW(launcher_state.entry_path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return {EntryLoopEnding::cannot_open, launcher_state.entry_path, 0};
        EntryLoopResult written = write_entry_data(file, size);
        // The process ends on a failure: the handle is the system's to close.
        if (written.ending != EntryLoopEnding::end_record) return written;
        if (launcher_state.cached_files && !finish_cached_file(file)) return write_failure(sys.GetLastError());
        // Closing flushes what the system still buffers (on a network share, say):
        // a close that fails may have lost the file's end.
        if (!sys.CloseHandle(file)) return write_failure(sys.GetLastError());
    }
}
