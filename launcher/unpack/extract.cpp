// The entry loop and the directories it creates on the way.
#include "unpack/extract.h"

#include "unpack/closing.h"
#include "unpack/entry_folders.h"
#include "unpack/report.h"
#include "unpack/state.h"
#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/template.h"
#include "payload/entry_name.h"
#include "payload/reader.h"
#include "system/syscalls.h"

namespace {

constexpr DWORD kWriteChunk = 32768;

wchar_t entry_name[kEntryNameCapacity];
unsigned char write_buffer[kWriteChunk];

constexpr EntryLoopResult kDamaged = {EntryLoopEnding::damaged, nullptr, 0};

// An index over the created-directory cache: slots hold the position of a
// cached name plus one (0: free), found by a hash of the name and probed in
// turn. Twice as many slots as names keep probes short, so a folder is looked
// up at the cost of one hash, not of a scan of up to 1024 names (names 500
// levels deep made the scan the slowest part of an unpacking).
constexpr uint32_t kDirectorySlots = 2 * kDirectoryCacheLimit;
static_assert((kDirectorySlots & (kDirectorySlots - 1)) == 0, "the slot mask needs a power of two");
uint16_t directory_slots[kDirectorySlots];
// Each cached name's hash: deep names share long beginnings, which a
// comparison of the names would walk before it finds them different.
uint32_t directory_hashes[kDirectoryCacheLimit];

uint32_t name_hash(const wchar_t *text) {
    uint32_t hash = 2166136261u;
    for (; *text != 0; ++text) hash = (hash ^ static_cast<uint16_t>(*text)) * 16777619u;
    return hash;
}

// The cache's position of `path`, or -1; `slot` is left at the slot where it
// is, or at the free slot that ends its probe.
int find_directory(const wchar_t *path, uint32_t hash, uint32_t &slot) {
    for (slot = hash & (kDirectorySlots - 1);; slot = (slot + 1) & (kDirectorySlots - 1)) {
        int at = directory_slots[slot] - 1;
        if (at < 0) return at;
        if (directory_hashes[at] == hash && same_wide_text(launcher_state.created_directories[at], path)) return at;
    }
}

// Adds a copy of `path`, which the cache does not hold, at the free slot `slot`.
void remember_directory(const wchar_t *path, uint32_t hash, uint32_t slot) {
    int at = launcher_state.created_directory_total++;
    launcher_state.created_directories[at] = duplicate_wide(path);
    directory_hashes[at] = hash;
    directory_slots[slot] = static_cast<uint16_t>(at + 1);
    launcher_state.last_found = at;
}

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

// The cached mode's end of a file, through its open handle: the fixed
// last-write time its check compares, then a flush, so that the rename that
// publishes the folder cannot reach the disk before the data (a power loss
// would otherwise leave files of the right size full of zeros). Done by
// whichever thread closes the file: a flush waits on the disk as a close
// waits on a scanner.
bool finish_cached_file(HANDLE file) {
    FILETIME fixed{static_cast<DWORD>(kCachedWriteTime), static_cast<DWORD>(kCachedWriteTime >> 32)};
    return sys.SetFileTime(file, nullptr, nullptr, &fixed) && sys.FlushFileBuffers(file);
}

constexpr EntryLoopResult kStopped = {EntryLoopEnding::stopped, nullptr, 0};

bool stop_was_requested() { return __atomic_load_n(&launcher_state.stop_requested, __ATOMIC_SEQ_CST); }

// Writes the entry's data; gives `end_record` when all of it was written.
EntryLoopResult write_entry_data(HANDLE file, uint64_t remaining) {
    while (remaining > 0) {
        if (stop_was_requested()) return kStopped;
        DWORD chunk = remaining < kWriteChunk ? static_cast<DWORD>(remaining) : kWriteChunk;
        // Written from the decoded window where it holds the whole chunk:
        // copying every byte once more costs about as much as hashing it.
        const unsigned char *bytes = nullptr;
        if (take_payload_bytes(chunk, &bytes) != PayloadStatus::ok) return kDamaged;
        if (bytes == nullptr) {
            if (read_payload_bytes(write_buffer, chunk) != PayloadStatus::ok) return kDamaged;
            bytes = write_buffer;
        }
        // A short write (a disk that filled midway through the chunk) is
        // written on: the next call fails with the system's own reason (112,
        // not enough space). One that succeeds writing nothing gives none,
        // and the last error is stale (183 after CREATE_ALWAYS replaced a
        // file), so it is reported as a write fault.
        for (DWORD done = 0; done < chunk;) {
            DWORD written = 0;
            if (!sys.WriteFile(file, bytes + done, chunk - done, &written, nullptr))
                return write_failure(sys.GetLastError());
            if (written == 0 || written > chunk - done) return write_failure(ERROR_WRITE_FAULT);
            done += written;
        }
        remaining -= chunk;
        __atomic_store_n(&launcher_state.unpacked_bytes, launcher_state.unpacked_bytes + chunk, __ATOMIC_RELAXED);
    }
    return {EntryLoopEnding::end_record, nullptr, 0};
}

// The entry loop proper. Each file is written here and closed by
// close_written_file, which may leave the close to another thread; a close
// that failed there ends the loop at the next entry, and the caller, once
// every close is done, names the earliest one.
EntryLoopResult write_entries(bool reentered) {
    for (uint64_t entry = 0;; ++entry) {
        if (stop_was_requested()) return kStopped;
        if (some_close_failed()) return write_failure(ERROR_WRITE_FAULT);
        if (!read_entry_name()) return kDamaged;
        // The frame is decoded to its end before the end record counts, so
        // that its checksum is tested before anything unpacked is run.
        // The decoder and its history go at once, not after the last closes.
        if (entry_name[0] == 0) {
            PayloadStatus frame = finish_payload_frame();
            close_payload();
            return frame == PayloadStatus::ok ? EntryLoopResult{EntryLoopEnding::end_record, nullptr, 0} : kDamaged;
        }
        // A name the packer would never write is damage, never written: one
        // that reaches outside the target directory, names a stream or a
        // device, or that Windows would read as another name.
        if (!entry_name_is_sound(entry_name, wide_length(entry_name))) return kDamaged;
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
        PlacedFile placed = place_entry_file(entry_name);
        // A file and a folder of one name in a folder this run made are the
        // payload's own clash: the entry cannot be written, as ever. In a
        // folder there before, the other one may be anyone's.
        if (placed.as == Placed::clash && launcher_state.target_folder_made)
            return {EntryLoopEnding::cannot_open, launcher_state.entry_path, ERROR_ALREADY_EXISTS};
        if (placed.as != Placed::open && placed.as != Placed::failed)
            return {EntryLoopEnding::foreign_entry, launcher_state.target_directory, 0};
        if (placed.as == Placed::failed) return {EntryLoopEnding::cannot_open, launcher_state.entry_path, placed.error};
        HANDLE file = placed.handle;
        EntryLoopResult written = write_entry_data(file, size);
        // Stopped or failed, the file is closed here: its handle shares no
        // deletion, and the folder may have to go (a stopped loop's clean-up,
        // a failure for lack of space).
        if (written.ending != EntryLoopEnding::end_record) {
            sys.CloseHandle(file);
            return written;
        }
        // Closing flushes what the system still buffers (on a network share, say):
        // a close that fails may have lost the file's end.
        close_written_file(file, entry);
    }
}

}  // namespace

void make_absolute_path() {
    wchar_t full[kPathCapacity];
    DWORD length = sys.GetFullPathNameW(launcher_state.target_directory, kPathCapacity, full, nullptr);
    if (length == 0 || length > kPathCapacity - 1) sys.fail_fast();
    copy_wide_bounded(launcher_state.target_directory, full, kPathCapacity);
}

bool create_directory_cached(const wchar_t *path) {
    uint32_t slot = 0;
    if (launcher_state.created_directory_total == 0) {
        wchar_t home[kPathCapacity];
        if (!expand_path_template(home, L"{HOME}", kPathCapacity)) report_expansion_failure(L"{HOME}");
        for (uint16_t &used : directory_slots) used = 0;
        uint32_t hash = name_hash(home);
        find_directory(home, hash, slot);
        remember_directory(home, hash, slot);
    }
    // Entries come sorted, so a file's folder is most often the one before:
    // asking that first spares hashing the name.
    if (same_wide_text(launcher_state.created_directories[launcher_state.last_found], path)) return true;
    uint32_t hash = name_hash(path);
    int found = find_directory(path, hash, slot);
    if (found >= 0) {
        launcher_state.last_found = found;
        return true;
    }
    if (path[0] != 0 && path[1] == L':' && path[2] == 0) return true;
    if (!sys.CreateDirectoryW(path, nullptr) && sys.GetLastError() != ERROR_ALREADY_EXISTS) return false;
    if (launcher_state.created_directory_total < kDirectoryCacheLimit) remember_directory(path, hash, slot);
    return true;
}

// Walks up one level at a time until a folder exists or can be made, then
// back down making the levels that failed. A loop, not recursion: a 1023-unit
// name holds up to 511 levels, and as many 8 KB frames overflow the 2 MB stack.
// Each level's end is found from the one before, so a deep name costs its
// length once, not once per level.
bool create_parent_directories(const wchar_t *path) {
    wchar_t parent[kPathCapacity];
    if (path == nullptr) sys.fail_fast();
    copy_wide_bounded(parent, path, kPathCapacity);
    size_t end = wide_length(parent);
    int failed_levels = 0;
    bool at_top = false;
    for (;;) {
        // A backslash at index 0 never counts: "\\x" has no parent to create.
        size_t cut = end;
        while (cut > 1 && parent[cut - 1] != L'\\') --cut;
        if (cut <= 1) {
            at_top = true;
            break;
        }
        end = cut - 1;
        parent[end] = 0;
        if (create_directory_cached(parent)) break;
        ++failed_levels;
    }
    if (failed_levels == 0) return true;
    // Puts back the separator cut off at `end`: the path one level deeper.
    auto deeper = [&parent, &end] {
        parent[end] = L'\\';
        while (parent[++end] != 0) {
        }
    };
    if (!at_top) deeper();
    for (;;) {
        bool made = create_directory_cached(parent);
        if (--failed_levels == 0) return made;
        deeper();
    }
}

int created_directory_count() { return launcher_state.created_directory_total; }

EntryLoopResult extract_payload(bool reentered) {
    __atomic_store_n(&launcher_state.unpacking, true, __ATOMIC_SEQ_CST);
    begin_closes(launcher_state.cached_files ? finish_cached_file : nullptr);
    begin_entry_folders();
    EntryLoopResult result = write_entries(reentered);
    end_entry_folders();
    // Every file handed over is closed before the loop ends: a cached folder
    // is renamed whole, and a folder with files open could not be. A close
    // that failed belongs to an entry before the one the loop ended at, so it
    // is the first failure in payload order.
    CloseFailure close = end_closes();
    if (close.failed && result.ending != EntryLoopEnding::stopped) result = write_failure(close.error);
    __atomic_store_n(&launcher_state.unpacking, false, __ATOMIC_SEQ_CST);
    return result;
}

// A deadline on the tick count, not a count of pauses: each Sleep(1) lasts
// a timer tick (15.6 ms by default on Windows), so 5000 of them would wait
// over a minute while a scanner holds a close.
bool stop_entry_loop(DWORD wait_ms) {
    __atomic_store_n(&launcher_state.stop_requested, true, __ATOMIC_SEQ_CST);
    ULONGLONG begun = sys.GetTickCount64();
    while (__atomic_load_n(&launcher_state.unpacking, __ATOMIC_SEQ_CST)) {
        if (sys.GetTickCount64() - begun >= wait_ms) return false;
        sys.Sleep(1);
    }
    return true;
}

bool failed_for_lack_of_space(const EntryLoopResult &result) {
    bool failed = result.ending == EntryLoopEnding::cannot_write || result.ending == EntryLoopEnding::cannot_open;
    return failed && (result.error == ERROR_DISK_FULL || result.error == ERROR_HANDLE_DISK_FULL);
}

uint64_t unpacked_bytes() { return __atomic_load_n(&launcher_state.unpacked_bytes, __ATOMIC_RELAXED); }
