// Removal of a directory tree, for paths of any length and trees of any depth.
//
// The shell's deletion cannot be used here: it handles no path beyond 260
// units, and on Wine it then goes on to delete files of the current
// directory. This walks the tree itself through \\?\ paths, which have no
// such limit, and never follows a link out of the tree.
//
// Each call keeps its walk (the path and the open searches) on the heap, so
// two threads may remove at the same time without splicing each other's
// paths, and a tree thousands of levels deep costs no stack.
#include "removal/remove_tree.h"

#include <stdlib.h>

#include "system/syscalls.h"

namespace {

// The longest path the system accepts, and its terminator.
constexpr size_t kLongPathCapacity = 32768;
// Every level adds a backslash and at least one unit: no walk goes deeper.
constexpr size_t kMaxDepth = kLongPathCapacity / 2;

// A folder being emptied: its open search, the length of its path, and
// whether `Walk::found` holds an entry of it that is still to be handled.
struct Level {
    HANDLE search;
    size_t length;
    bool has_entry;
};

struct Walk {
    const volatile bool *stop;
    wchar_t path[kLongPathCapacity];
    WIN32_FIND_DATAW found;
    Level levels[kMaxDepth];
    size_t depth;
};

// Appends `text` to the walk's path of `length` units; gives the new length,
// or kLongPathCapacity when it does not fit.
size_t append(Walk &walk, size_t length, const wchar_t *text) {
    if (length >= kLongPathCapacity) return kLongPathCapacity;
    while (*text != 0) {
        if (length + 1 >= kLongPathCapacity) return kLongPathCapacity;
        walk.path[length++] = *text++;
    }
    walk.path[length] = 0;
    return length;
}

// Starts the search of the folder whose path is the walk's first `length`
// units and pushes it; false (nothing pushed) when it cannot be searched.
bool enter(Walk &walk, size_t length) {
    if (walk.depth == kMaxDepth) return false;
    size_t pattern = append(walk, length, L"\\*");
    if (pattern >= kLongPathCapacity) return false;
    HANDLE search = sys.FindFirstFileExW(walk.path, FindExInfoBasic, &walk.found, FindExSearchNameMatch, nullptr, 0);
    walk.path[length] = 0;
    if (search == INVALID_HANDLE_VALUE) return false;
    walk.levels[walk.depth++] = Level{search, length, true};
    return true;
}

void advance(Walk &walk) {
    Level &level = walk.levels[walk.depth - 1];
    level.has_entry = sys.FindNextFileW(level.search, &walk.found) != FALSE;
}

// Empties the folder whose path is the walk's first `length` units, then removes it.
void remove_folder(Walk &walk, size_t length) {
    if (!enter(walk, length)) {
        walk.path[length] = 0;
        sys.RemoveDirectoryW(walk.path);
        return;
    }
    while (walk.depth > 0) {
        if (walk.stop != nullptr && __atomic_load_n(walk.stop, __ATOMIC_ACQUIRE)) {
            while (walk.depth > 0) sys.FindClose(walk.levels[--walk.depth].search);
            return;
        }
        Level &level = walk.levels[walk.depth - 1];
        walk.path[level.length] = 0;
        if (!level.has_entry) {
            sys.FindClose(level.search);
            sys.RemoveDirectoryW(walk.path);
            if (--walk.depth > 0) advance(walk);
            continue;
        }
        const WIN32_FIND_DATAW &found = walk.found;
        if (is_dot_entry(found.cFileName)) {
            advance(walk);
            continue;
        }
        size_t inner = append(walk, append(walk, level.length, L"\\"), found.cFileName);
        if (inner >= kLongPathCapacity) {
            advance(walk);
            continue;
        }
        bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
            sys.SetFileAttributesW(walk.path, found.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
        // A folder that is entered is advanced past once it has been removed.
        if (folder && !link && enter(walk, inner)) continue;
        if (folder) sys.RemoveDirectoryW(walk.path);  // a link, or a folder that cannot be searched
        else sys.DeleteFileW(walk.path);
        advance(walk);
    }
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

}  // namespace

bool is_dot_entry(const wchar_t *name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

void remove_directory_tree(const wchar_t *directory, const volatile bool *stop) {
    auto *walk = static_cast<Walk *>(sys.malloc(sizeof(Walk)));
    // Without memory nothing is removed now; the caller's retries ask again.
    if (walk == nullptr) return;
    walk->depth = 0;
    walk->stop = stop;
    size_t length = 0;
    if (directory[0] == L'\\' && directory[1] == L'\\') {
        // \\?\... stays as it is; \\server\share becomes \\?\UNC\server\share.
        if (directory[2] == L'?' || directory[2] == L'.') length = append(*walk, 0, directory);
        else length = append(*walk, append(*walk, 0, L"\\\\?\\UNC"), directory + 1);
    } else {
        length = append(*walk, append(*walk, 0, L"\\\\?\\"), directory);
    }
    while (length > 0 && length < kLongPathCapacity && walk->path[length - 1] == L'\\') walk->path[--length] = 0;
    // A drive, share or volume root is never removed, nor anything that does not fit.
    if (length < kLongPathCapacity && length > root_length(walk->path)) remove_folder(*walk, length);
    free(walk);
}
