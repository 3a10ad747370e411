// Whether a cache folder is whole: every file of the table there, at its size
// and with the fixed last-write time it was unpacked with, and no library the
// loader would take for one of the application's.
// Noticing a removed or changed file means looking at every file, so
// the check lists every folder of the tree. Listing a folder costs a few
// system round trips (open, read, close) besides its entries, which a few
// threads overlap: each takes a folder waiting to be listed, lists it, and
// leaves the folders it finds to whichever thread is free.
#include "cache/cache_check.h"

#include <stdlib.h>

#include "cache/file_table.h"
#include "removal/remove_tree.h"
#include "system/syscalls.h"
#include "unpack/state.h"

namespace {

constexpr size_t kLongPathCapacity = 32768;
// Threads listing at once, this one included: beyond a few they only wait
// on the same disk and on one another.
constexpr unsigned kMaxListers = 4;
// Folders waiting before the other threads start: a thread takes about a
// millisecond to start under Wine, in which a few folders are listed.
constexpr size_t kFoldersToShare = 4;

// A folder waiting to be listed: its path relative to the checked folder.
struct Pending {
    Pending *next;
    size_t units;
    wchar_t relative[1];
};

struct Check {
    const unsigned char *table;
    const wchar_t *root;  // the checked folder, \\?\-prefixed where a path may need it
    size_t root_units;
    SRWLOCK lock;
    CONDITION_VARIABLE changed;
    // Guarded by `lock`: the folders waiting and their number, the number
    // being listed, and whether the check has failed (a file differs or a
    // folder could not be listed).
    Pending *pending;
    size_t waiting;
    unsigned listing;
    bool failed;
    volatile LONG matched;  // table files found at their size
    // Only the first thread, which starts the others, touches these.
    HANDLE helpers[kMaxListers - 1];
    unsigned helper_count;
};

// One thread's listing: its path buffer and found entry.
struct Lister {
    Check *check;
    wchar_t *path;
    WIN32_FIND_DATAW found;
    bool starts_helpers;  // only the first thread starts the others, once enough folders wait
};

DWORD WINAPI run_lister(void *context);

// Starts the helper threads, as many as there are other processors (up to a few).
void start_helpers(Check &check) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    unsigned wanted = system.dwNumberOfProcessors < kMaxListers ? system.dwNumberOfProcessors : kMaxListers;
    for (unsigned i = 1; i < wanted; ++i) {
        HANDLE thread = start_worker_thread(run_lister, &check);
        // Without it the others list its share.
        if (thread == nullptr) break;
        check.helpers[check.helper_count++] = thread;
    }
}

// Leaves a folder to be listed; gives the number of folders waiting, 0 when
// there is no memory for it.
size_t add_pending(Check &check, const wchar_t *relative, size_t units) {
    auto *folder = static_cast<Pending *>(sys.malloc(sizeof(Pending) + units * sizeof(wchar_t)));
    if (folder == nullptr) return 0;
    for (size_t i = 0; i < units; ++i) folder->relative[i] = relative[i];
    folder->units = units;
    AcquireSRWLockExclusive(&check.lock);
    folder->next = check.pending;
    check.pending = folder;
    size_t waiting = ++check.waiting;
    ReleaseSRWLockExclusive(&check.lock);
    WakeConditionVariable(&check.changed);
    return waiting;
}

// Gives the next folder to list after ending the listing of `done` (when not
// null, `listed` telling whether it went well); null once every folder is
// listed or the check has failed.
Pending *next_folder(Check &check, Pending *done, bool listed) {
    AcquireSRWLockExclusive(&check.lock);
    if (done != nullptr) {
        --check.listing;
        if (!listed) check.failed = true;
    }
    while (check.pending == nullptr && check.listing > 0 && !check.failed)
        SleepConditionVariableSRW(&check.changed, &check.lock, INFINITE, 0);
    Pending *next = check.failed ? nullptr : check.pending;
    if (next != nullptr) {
        check.pending = next->next;
        --check.waiting;
        ++check.listing;
    }
    ReleaseSRWLockExclusive(&check.lock);
    // The last folder done or a failure ends every thread's wait.
    if (next == nullptr) WakeAllConditionVariable(&check.changed);
    free(done);
    return next;
}

// True when a found name ends in ".dll", in any case: a library the loader
// would find by name.
bool is_library_name(const wchar_t *name) {
    size_t length = 0;
    while (name[length] != 0) ++length;
    if (length < 4) return false;
    const wchar_t *end = name + length - 4;
    return end[0] == L'.' && (end[1] | 0x20) == L'd' && (end[2] | 0x20) == L'l' && (end[3] | 0x20) == L'l';
}

// Lists `folder`: its files are looked up in the table, its folders left to
// be listed. False when it cannot be listed, holds a table file of another
// size or last-write time, or holds a library the table does not know where
// the loader looks: at the top, where the entry library's dependencies are
// found, or beside a packed library.
bool list_folder(Lister &lister, const Pending &folder) {
    Check &check = *lister.check;
    wchar_t *path = lister.path;
    // <root>[\<relative>]\<name>, the relative name starting after the root's backslash.
    size_t length = check.root_units;
    if (folder.units > 0) {
        if (length + 1 + folder.units >= kLongPathCapacity) return false;
        path[length++] = L'\\';
        for (size_t i = 0; i < folder.units; ++i) path[length++] = folder.relative[i];
    }
    if (length + 3 > kLongPathCapacity) return false;
    path[length] = L'\\';
    path[length + 1] = L'*';
    path[length + 2] = 0;
    HANDLE search = sys.FindFirstFileExW(path, FindExInfoBasic, &lister.found, FindExSearchNameMatch, nullptr,
                                        FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) return false;
    const wchar_t *relative = path + check.root_units + 1;
    bool good = true;
    bool packed_library = folder.units == 0, extra_library = false;
    LONG matched = 0;
    do {
        const WIN32_FIND_DATAW &found = lister.found;
        // Links and junctions are not followed: a file behind one is missing.
        if (is_dot_entry(found.cFileName) || (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
        size_t end = length + 1;
        for (const wchar_t *c = found.cFileName; *c != 0 && end + 1 < kLongPathCapacity; ++c) path[end++] = *c;
        size_t units = end - (check.root_units + 1);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            size_t waiting = add_pending(check, relative, units);
            good = waiting > 0;
            if (lister.starts_helpers && waiting >= kFoldersToShare) {
                start_helpers(check);
                lister.starts_helpers = false;
            }
        } else {
            long index = find_in_table(check.table, relative, units);
            uint64_t size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
            uint64_t written = (static_cast<uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                               found.ftLastWriteTime.dwLowDateTime;
            bool library = is_library_name(found.cFileName);
            if (index < 0) {
                extra_library = extra_library || library;
            } else if (table_file(check.table, static_cast<uint32_t>(index)).size == size &&
                       written == kCachedWriteTime) {
                ++matched;
                packed_library = packed_library || library;
            } else {
                good = false;
            }
        }
    } while (good && sys.FindNextFileW(search, &lister.found));
    sys.FindClose(search);
    InterlockedExchangeAdd(&check.matched, matched);
    return good && !(extra_library && packed_library);
}

// Lists folders until none is left or the check has failed: what every
// thread of the check runs.
void list_folders(Check &check, bool starts_helpers) {
    Lister lister{&check, static_cast<wchar_t *>(sys.malloc(kLongPathCapacity * sizeof(wchar_t))), {}, starts_helpers};
    if (lister.path != nullptr)
        for (size_t i = 0; i < check.root_units; ++i) lister.path[i] = check.root[i];
    Pending *folder = next_folder(check, nullptr, true);
    while (folder != nullptr) {
        bool listed = lister.path != nullptr && list_folder(lister, *folder);
        folder = next_folder(check, folder, listed);
    }
    free(lister.path);
}

DWORD WINAPI run_lister(void *context) {
    list_folders(*static_cast<Check *>(context), false);
    return 0;
}

}  // namespace

bool is_plain_directory(const wchar_t *path) {
    DWORD attributes = sys.GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool cache_folder_is_whole(const wchar_t *folder, const unsigned char *table) {
    // A link or junction put in the folder's place is not the folder.
    if (!is_plain_directory(folder)) return false;
    // The \\?\ form only where a path may need it: Wine takes twice as long
    // to list a folder through it.
    uint32_t count = table_count(table), longest = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t units = table_file(table, i).units;
        if (units > longest) longest = units;
    }
    size_t folder_units = 0;
    while (folder[folder_units] != 0) ++folder_units;
    bool plain = folder_units + 1 + longest < MAX_PATH;
    auto *root = static_cast<wchar_t *>(sys.malloc(kLongPathCapacity * sizeof(wchar_t)));
    if (root == nullptr) return false;
    size_t root_units = 0;
    for (const wchar_t *c = plain ? L"" : L"\\\\?\\"; *c != 0; ++c) root[root_units++] = *c;
    for (size_t i = 0; i < folder_units && root_units + 1 < kLongPathCapacity; ++i) root[root_units++] = folder[i];
    root[root_units] = 0;

    // On the heap: the helpers use it until they end, and it is kept if a wait for one fails.
    auto *check = static_cast<Check *>(sys.malloc(sizeof(Check)));
    if (check == nullptr) {
        free(root);
        return false;
    }
    *check = Check{};
    check->table = table;
    check->root = root;
    check->root_units = root_units;
    InitializeSRWLock(&check->lock);
    InitializeConditionVariable(&check->changed);
    bool added = add_pending(*check, L"", 0) > 0;
    if (added) list_folders(*check, true);
    // The helpers end once nothing is left to list.
    bool ended = true;
    for (unsigned i = 0; i < check->helper_count; ++i) {
        if (sys.WaitForSingleObject(check->helpers[i], INFINITE) != WAIT_OBJECT_0) ended = false;
        sys.CloseHandle(check->helpers[i]);
    }
    bool whole = added && !check->failed && static_cast<uint32_t>(check->matched) == count;
    if (ended) {
        while (check->pending != nullptr) {
            Pending *next = check->pending->next;
            free(check->pending);
            check->pending = next;
        }
        free(check);
        free(root);
    }
    return whole;
}
