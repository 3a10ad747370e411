// Removal of a directory tree through handles, for trees of any depth.
//
// The shell's deletion cannot be used here: it handles no path beyond 260
// units, and on Wine it then goes on to delete files of the current
// directory. Nor can a walk by paths: whoever may write a folder in the tree
// could swap it for a link between the walk's look at it and its deletion,
// and the walk would delete the link's target with the launcher's rights.
// So the root is opened once, every folder below it relative to its
// parent's handle, each judged by the listing and by its handle, and every
// entry deleted through a handle of its own (folder_handles.h).
//
// Each call keeps its walk (the open folders and their listings) on the heap,
// so two threads may remove at the same time, and a tree thousands of levels
// deep costs no stack.
//
// A file costs four calls through its own handle (the open, the question
// that judges it, the deletion, the close), each a round trip to Wine's
// server, which works one request at a time; the walk by path that the
// handles replace costs two. The round trips of several threads overlap:
// the walking thread lists and enters the folders and hands the files it
// lists to a few helper threads, which open, judge, delete and close each
// exactly as the walk would. A folder is deleted once nothing holds it: the
// walk has listed it whole, and every folder and handed file below it is
// done, whichever thread finishes last.
#include "removal/remove_tree.h"

#include <stdlib.h>

namespace {

// The longest path the system accepts, and its terminator.
constexpr size_t kLongPathCapacity = 32768;
// Folders open at once: a tree deeper than this keeps what lies below.
constexpr size_t kMaxDepth = 16384;
// The upper levels list into wide buffers: each question to the system is a
// round trip to Wine's server, and a wide buffer takes hundreds of entries a
// trip. Deeper levels keep the narrow one, so a deep tree costs little memory.
constexpr size_t kWideListingBytes = 64 * 1024;
constexpr size_t kWideLevels = 64;
// The helper threads. A walk looks at how busy the processors are once it
// has listed this many files, and again after each further stretch: a small
// tree is gone before a thread would have started (about a millisecond
// under Wine), and helpers pay only while processors are free, where their
// round trips overlap; on processors that other work keeps busy they only
// add switches and contention, and the walk removes its files alone.
constexpr unsigned kRemovalHelpers = 2;
constexpr unsigned kFilesBeforeHelpers = 64;
constexpr unsigned kFilesBetweenLooks = 256;
// Helpers while at least this share of the processors' time was idle, over
// at least this much of it (in 100 ns units, all processors together): the
// system counts it by clock ticks of 10 to 16 ms, and a stretch of a few
// ticks would decide by one.
constexpr unsigned kIdlePercentForHelpers = 33;
constexpr unsigned long long kLeastTimeLookedAt = 500000;
// Files go to the helpers in batches of one folder's files, so that a lock
// and a wake serve many; with every slot full the walk removes its batch itself.
constexpr unsigned kBatchFiles = 16;
constexpr unsigned kQueuedBatches = 8;

// A folder of the walk, in the same block as its listing's buffer. Deleted,
// and its handle closed, when the last hold on it goes: the walk's while it
// lists the folder, one for each folder below it not yet done, one for each
// file handed over from it.
struct Folder {
    HANDLE handle;
    DWORD attributes;
    Folder *parent;
    long holds;
    // The caller's folder, emptied, never deleted nor closed.
    bool keep;
};

// A folder being emptied: its listing, and the folder it lists.
struct Level {
    FolderListing listing;
    Folder *folder;
};

// A file handed to the helpers: the listing's entry, with its name copied.
struct HandedFile {
    DWORD attributes;
    long long id;
    size_t bytes;
    wchar_t name[MAX_PATH];
};

// Files of one folder, removed by one thread.
struct Batch {
    Folder *folder;
    unsigned count;
    HandedFile files[kBatchFiles];
};

struct Walk {
    const volatile bool *stop;
    // The helpers are this walk's (one walk uses them at a time).
    bool has_helpers;
    // Whether files go to the helpers now, by the last look at the processors.
    bool handing;
    unsigned files_listed;
    unsigned long long idle_before, total_before;  // the processors' times at the last look
    Batch batch;  // being filled, of the folder the walk lists
    Level levels[kMaxDepth];
    size_t depth;
};

// The helper threads and the queue between the walk and them, one lock
// guarding both. At most one walk uses them at a time; a second walk at
// once (a console event's removal beside the sweep's) works alone.
struct Helpers {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE work_waits = CONDITION_VARIABLE_INIT;  // the helpers wait here for a batch
    CONDITION_VARIABLE walk_waits = CONDITION_VARIABLE_INIT;  // the walk waits here for their end
    Batch queue[kQueuedBatches];
    unsigned head, queued;
    unsigned threads, sleeping;
    bool retiring;  // the walk has listed everything: helpers that find nothing to do end
    bool walk_waiting;
} helpers;
bool helpers_taken;

void release(Folder *folder);

void remove_listed_file(HANDLE folder, const ListedEntry &entry) {
    OpenedEntry opened = open_listed_entry(folder, entry);
    if (opened.as == OpenedAs::refused) return;
    // Listed as a file, opened as one or as a link itself: either goes.
    delete_through_handle(opened.handle, opened.attributes);
    sys.CloseHandle(opened.handle);
}

// Removes the batch's files, then lets go of the folder's hold for them.
void remove_batch(const Batch &batch) {
    for (unsigned i = 0; i < batch.count; ++i) {
        const HandedFile &file = batch.files[i];
        remove_listed_file(batch.folder->handle, ListedEntry{file.name, file.bytes, file.attributes, file.id});
    }
    release(batch.folder);
}

DWORD WINAPI remove_handed_files(void *) {
    Batch batch;
    AcquireSRWLockExclusive(&helpers.lock);
    for (;;) {
        while (helpers.queued == 0 && !helpers.retiring) {
            ++helpers.sleeping;
            SleepConditionVariableSRW(&helpers.work_waits, &helpers.lock, INFINITE, 0);
            --helpers.sleeping;
        }
        if (helpers.queued == 0) break;
        batch = helpers.queue[helpers.head];
        helpers.head = (helpers.head + 1) % kQueuedBatches;
        --helpers.queued;
        ReleaseSRWLockExclusive(&helpers.lock);
        remove_batch(batch);
        AcquireSRWLockExclusive(&helpers.lock);
    }
    --helpers.threads;
    if (helpers.walk_waiting) WakeConditionVariable(&helpers.walk_waits);
    ReleaseSRWLockExclusive(&helpers.lock);
    return 0;
}

// Starts the helpers; those that cannot be made leave their share to the
// others, and without any the walk removes every file itself.
void start_helpers() {
    while (helpers.threads < kRemovalHelpers) {
        HANDLE thread = start_worker_thread(remove_handed_files, nullptr);
        if (thread == nullptr) break;
        sys.CloseHandle(thread);
        AcquireSRWLockExclusive(&helpers.lock);
        ++helpers.threads;
        ReleaseSRWLockExclusive(&helpers.lock);
    }
}

// Hands the walk's batch to the helpers, or, with no helper or no room,
// removes its files itself; the batch is then empty.
void flush_batch(Walk &walk) {
    Batch &batch = walk.batch;
    if (batch.count == 0) return;
    AcquireSRWLockExclusive(&helpers.lock);
    bool room = helpers.threads > 0 && helpers.queued < kQueuedBatches;
    bool wake = room && helpers.sleeping > 0;
    if (room) {
        helpers.queue[(helpers.head + helpers.queued) % kQueuedBatches] = batch;
        ++helpers.queued;
    }
    ReleaseSRWLockExclusive(&helpers.lock);
    if (wake) WakeConditionVariable(&helpers.work_waits);
    if (!room) remove_batch(batch);
    batch.count = 0;
}

unsigned long long ticks(const FILETIME &time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Reads the processors' idle and whole times since boot; false when the system will not say.
bool processor_times(unsigned long long &idle, unsigned long long &total) {
    FILETIME idle_time, kernel_time, user_time;
    if (!sys.GetSystemTimes(&idle_time, &kernel_time, &user_time)) return false;
    idle = ticks(idle_time);
    total = ticks(kernel_time) + ticks(user_time);  // the kernel's time holds the idle time
    return true;
}

// Decides whether the walk hands its files over, by the share of the
// processors' time spent idle since the last decision; a stretch too short
// to tell keeps the last decision (at first: none handed over).
void look_at_processors(Walk &walk) {
    unsigned long long idle = 0, total = 0;
    if (!processor_times(idle, total)) {
        walk.handing = false;
        return;
    }
    unsigned long long spent = total - walk.total_before;
    if (spent < kLeastTimeLookedAt) return;
    walk.handing = (idle - walk.idle_before) * 100 >= spent * kIdlePercentForHelpers;
    walk.idle_before = idle;
    walk.total_before = total;
    if (walk.handing) start_helpers();
}

// Takes the file `entry` of `folder` into the walk's batch for the helpers;
// false when the walk is to remove it itself (no helpers, processors busy,
// a name longer than any file system gives).
bool hand_over(Walk &walk, Folder *folder, const ListedEntry &entry) {
    if (!walk.has_helpers || entry.bytes > sizeof(HandedFile::name)) return false;
    unsigned listed = ++walk.files_listed;
    if (listed == kFilesBeforeHelpers ||
        (listed > kFilesBeforeHelpers && (listed - kFilesBeforeHelpers) % kFilesBetweenLooks == 0))
        look_at_processors(walk);
    if (!walk.handing) {
        if (walk.batch.count > 0) flush_batch(walk);
        return false;
    }
    Batch &batch = walk.batch;
    if (batch.count > 0 && batch.folder != folder) flush_batch(walk);
    if (batch.count == 0) {
        batch.folder = folder;
        __atomic_add_fetch(&folder->holds, 1, __ATOMIC_ACQ_REL);
    }
    HandedFile &file = batch.files[batch.count++];
    file.attributes = entry.attributes;
    file.id = entry.id;
    file.bytes = entry.bytes;
    for (size_t i = 0; i < entry.bytes / sizeof(wchar_t); ++i) file.name[i] = entry.name[i];
    if (batch.count == kBatchFiles) flush_batch(walk);
    return true;
}

// The walk has listed everything: the helpers finish what is handed over
// and end, and the walk lets go of them.
void retire_helpers(Walk &walk) {
    if (!walk.has_helpers) return;
    flush_batch(walk);
    AcquireSRWLockExclusive(&helpers.lock);
    helpers.retiring = true;
    WakeAllConditionVariable(&helpers.work_waits);
    while (helpers.threads > 0) {
        helpers.walk_waiting = true;
        SleepConditionVariableSRW(&helpers.walk_waits, &helpers.lock, INFINITE, 0);
    }
    helpers.walk_waiting = false;
    helpers.retiring = false;
    ReleaseSRWLockExclusive(&helpers.lock);
    __atomic_store_n(&helpers_taken, false, __ATOMIC_RELEASE);
}

// Pushes the open folder `handle` below `parent`; false (the handle closed
// unless `keep`) when the walk cannot go deeper or has no memory for it.
bool enter(Walk &walk, HANDLE handle, DWORD attributes, Folder *parent, bool keep = false) {
    size_t bytes = walk.depth < kWideLevels ? kWideListingBytes : kListingBufferBytes;
    auto *block = walk.depth < kMaxDepth ? static_cast<unsigned char *>(sys.malloc(sizeof(Folder) + bytes)) : nullptr;
    if (block == nullptr) {
        if (!keep) sys.CloseHandle(handle);
        return false;
    }
    auto *folder = reinterpret_cast<Folder *>(block);
    *folder = Folder{handle, attributes, parent, 1, keep};
    if (parent != nullptr) __atomic_add_fetch(&parent->holds, 1, __ATOMIC_ACQ_REL);
    walk.levels[walk.depth++] =
        Level{FolderListing{handle, nullptr, block + sizeof(Folder), bytes, 0, false, false}, folder};
    return true;
}

// Lets go of one hold on `folder`; the last deletes it (but the caller's),
// closes its handle and lets go of the hold it had on the folder above.
void release(Folder *folder) {
    while (folder != nullptr && __atomic_sub_fetch(&folder->holds, 1, __ATOMIC_ACQ_REL) == 0) {
        Folder *parent = folder->parent;
        if (!folder->keep) {
            delete_through_handle(folder->handle, folder->attributes);
            sys.CloseHandle(folder->handle);
        }
        free(folder);
        folder = parent;
    }
}

// Empties the folder on top of the walk and every folder below it, deleting
// each once it is empty, entry by entry through handles.
void empty_folders(Walk &walk) {
    while (walk.depth > 0) {
        // Only a walk without helpers stops: nothing but the walk holds its folders.
        if (walk.stop != nullptr && __atomic_load_n(walk.stop, __ATOMIC_ACQUIRE)) {
            for (; walk.depth > 0; --walk.depth) {
                Folder *folder = walk.levels[walk.depth - 1].folder;
                if (!folder->keep) sys.CloseHandle(folder->handle);
                free(folder);
            }
            return;
        }
        Level &level = walk.levels[walk.depth - 1];
        ListedEntry entry;
        if (!next_listed_entry(level.listing, entry)) {
            if (walk.batch.count > 0) flush_batch(walk);
            --walk.depth;
            release(level.folder);
            continue;
        }
        if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            if (!hand_over(walk, level.folder, entry)) remove_listed_file(level.listing.folder, entry);
            continue;
        }
        OpenedEntry opened = open_listed_entry(level.listing.folder, entry);
        if (opened.as == OpenedAs::refused) continue;
        // A folder that is entered is deleted once its listing ends and nothing below it is left.
        if (opened.as == OpenedAs::folder) {
            enter(walk, opened.handle, opened.attributes, level.folder);
            continue;
        }
        delete_through_handle(opened.handle, opened.attributes);
        sys.CloseHandle(opened.handle);
    }
    retire_helpers(walk);
}

// A walk that may stop never hands files over: it ends at once, with
// nothing of its folders held elsewhere.
Walk *new_walk(const volatile bool *stop) {
    auto *walk = static_cast<Walk *>(sys.malloc(sizeof(Walk)));
    if (walk == nullptr) return nullptr;
    walk->depth = 0;
    walk->stop = stop;
    walk->files_listed = 0;
    walk->batch.count = 0;
    walk->handing = false;
    walk->has_helpers = stop == nullptr && !__atomic_exchange_n(&helpers_taken, true, __ATOMIC_ACQ_REL);
    if (walk->has_helpers && !processor_times(walk->idle_before, walk->total_before)) {
        walk->has_helpers = false;
        __atomic_store_n(&helpers_taken, false, __ATOMIC_RELEASE);
    }
    return walk;
}

// The length of the part of a \\?\ path that must never be removed: the
// drive (\\?\C:), the share (\\?\UNC\server\share) or the volume.
size_t root_length(const wchar_t *path) {
    size_t at = 4;  // past the prefix
    size_t components = 1;
    if ((path[4] == L'U' || path[4] == L'u') && (path[5] == L'N' || path[5] == L'n') &&
        (path[6] == L'C' || path[6] == L'c') && path[7] == L'\\') {
        at = 8;
        components = 2;
    }
    for (; components > 0; --components) {
        while (path[at] == L'\\') ++at;
        while (path[at] != 0 && path[at] != L'\\') ++at;
    }
    return at;
}

// Appends `text` to `path` of `length` units; gives the new length, or
// kLongPathCapacity when it does not fit.
size_t append(wchar_t *path, size_t length, const wchar_t *text) {
    if (length >= kLongPathCapacity) return kLongPathCapacity;
    while (*text != 0) {
        if (length + 1 >= kLongPathCapacity) return kLongPathCapacity;
        path[length++] = *text++;
    }
    path[length] = 0;
    return length;
}

// Removes the entry `name` of the folder at `parent`: the tree when it is a
// plain folder, the link itself when it is one.
void remove_named_entry(const wchar_t *parent, const wchar_t *name) {
    HANDLE folder = open_folder_path(parent);
    if (folder == INVALID_HANDLE_VALUE) return;
    alignas(8) unsigned char buffer[kListingBufferBytes];
    FolderListing listing = {folder, name, buffer, sizeof buffer, 0, false, false};
    ListedEntry entry;
    if (next_listed_entry(listing, entry)) {
        OpenedEntry opened = open_listed_entry(folder, entry);
        if (opened.as == OpenedAs::folder) {
            remove_open_folder(opened.handle, opened.attributes);
        } else if (opened.as != OpenedAs::refused) {
            // A file named as a directory is not this removal's to delete.
            if (opened.as == OpenedAs::link) delete_through_handle(opened.handle, opened.attributes);
            sys.CloseHandle(opened.handle);
        }
    }
    sys.CloseHandle(folder);
}

}  // namespace

bool is_dot_entry(const wchar_t *name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

void remove_open_folder(HANDLE folder, DWORD attributes, const volatile bool *stop) {
    Walk *walk = new_walk(stop);
    // Without memory nothing is removed now; the caller's retries ask again.
    if (walk == nullptr) {
        sys.CloseHandle(folder);
        return;
    }
    enter(*walk, folder, attributes, nullptr);
    empty_folders(*walk);
    free(walk);
}

void empty_held_folder(HANDLE folder) {
    Walk *walk = new_walk(nullptr);
    if (walk == nullptr) return;
    enter(*walk, folder, 0, nullptr, true);
    empty_folders(*walk);
    free(walk);
}

bool claim_and_remove_folder(HANDLE parent, const ListedEntry &entry, const wchar_t *claimed_name,
                             const volatile bool *stop) {
    OpenedEntry opened = open_listed_entry(parent, entry);
    if (opened.as == OpenedAs::refused) return false;
    // In use, taken by another launcher, or not a plain folder: it stays.
    if (opened.as != OpenedAs::folder || !rename_through_handle(opened.handle, parent, claimed_name)) {
        sys.CloseHandle(opened.handle);
        return false;
    }
    remove_open_folder(opened.handle, opened.attributes, stop);
    return true;
}

void remove_directory_tree(const wchar_t *directory) {
    auto *path = static_cast<wchar_t *>(sys.malloc(kLongPathCapacity * sizeof(wchar_t)));
    if (path == nullptr) return;
    size_t length = 0;
    if (directory[0] == L'\\' && directory[1] == L'\\') {
        // \\?\... stays as it is; \\server\share becomes \\?\UNC\server\share.
        if (directory[2] == L'?' || directory[2] == L'.') length = append(path, 0, directory);
        else length = append(path, append(path, 0, L"\\\\?\\UNC"), directory + 1);
    } else {
        length = append(path, append(path, 0, L"\\\\?\\"), directory);
    }
    while (length > 0 && length < kLongPathCapacity && path[length - 1] == L'\\') path[--length] = 0;
    // A drive, share or volume root is never removed, nor anything that does not fit.
    size_t root = length < kLongPathCapacity ? root_length(path) : 0;
    if (length < kLongPathCapacity && length > root) {
        size_t cut = length;
        while (path[cut - 1] != L'\\') --cut;
        // No file system takes a longer name.
        wchar_t name[MAX_PATH];
        if (length - cut < MAX_PATH) {
            for (size_t i = 0; i <= length - cut; ++i) name[i] = path[cut + i];
            // The parent keeps its backslash: "\\?\C:" alone names the volume, not its root folder.
            path[cut] = 0;
            remove_named_entry(path, name);
        }
    }
    free(path);
}
