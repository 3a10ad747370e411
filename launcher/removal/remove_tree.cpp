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

// A folder being emptied: its handle's attributes and its listing.
struct Level {
    FolderListing listing;
    DWORD attributes;
};

struct Walk {
    const volatile bool *stop;
    // The top folder and its handle are the caller's: emptied, never deleted nor closed.
    bool keep_top;
    Level levels[kMaxDepth];
    size_t depth;
};

// Pushes the open folder `folder`; false (the handle closed, when `close`)
// when the walk cannot go deeper or has no memory for the listing.
bool enter(Walk &walk, HANDLE folder, DWORD attributes, bool close = true) {
    size_t bytes = walk.depth < kWideLevels ? kWideListingBytes : kListingBufferBytes;
    auto *buffer = walk.depth < kMaxDepth ? static_cast<unsigned char *>(sys.malloc(bytes)) : nullptr;
    if (buffer == nullptr) {
        if (close) sys.CloseHandle(folder);
        return false;
    }
    walk.levels[walk.depth++] = Level{FolderListing{folder, nullptr, buffer, bytes, 0, false, false}, attributes};
    return true;
}

// Empties the folder on top of the walk and every folder below it, deleting
// each once it is empty, entry by entry through handles.
void empty_folders(Walk &walk) {
    while (walk.depth > 0) {
        if (walk.stop != nullptr && __atomic_load_n(walk.stop, __ATOMIC_ACQUIRE)) {
            for (; walk.depth > 0; --walk.depth) {
                if (walk.depth > 1 || !walk.keep_top) sys.CloseHandle(walk.levels[walk.depth - 1].listing.folder);
                free(walk.levels[walk.depth - 1].listing.buffer);
            }
            return;
        }
        Level &level = walk.levels[walk.depth - 1];
        ListedEntry entry;
        if (!next_listed_entry(level.listing, entry)) {
            if (walk.depth > 1 || !walk.keep_top) {
                delete_through_handle(level.listing.folder, level.attributes);
                sys.CloseHandle(level.listing.folder);
            }
            free(level.listing.buffer);
            --walk.depth;
            continue;
        }
        OpenedEntry opened = open_listed_entry(level.listing.folder, entry);
        if (opened.as == OpenedAs::refused) continue;
        // A folder that is entered is deleted once its listing ends.
        if (opened.as == OpenedAs::folder) {
            enter(walk, opened.handle, opened.attributes);
            continue;
        }
        delete_through_handle(opened.handle, opened.attributes);
        sys.CloseHandle(opened.handle);
    }
}

Walk *new_walk(const volatile bool *stop) {
    auto *walk = static_cast<Walk *>(sys.malloc(sizeof(Walk)));
    if (walk != nullptr) walk->depth = 0, walk->stop = stop, walk->keep_top = false;
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
    if (enter(*walk, folder, attributes)) empty_folders(*walk);
    free(walk);
}

void empty_held_folder(HANDLE folder) {
    Walk *walk = new_walk(nullptr);
    if (walk == nullptr) return;
    walk->keep_top = true;
    if (enter(*walk, folder, 0, false)) empty_folders(*walk);
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
