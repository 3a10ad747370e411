// Recursive removal of the target directory.
//
// The shell's deletion cannot be used here: it handles no path beyond 260
// units, and on Wine it then goes on to delete files of the current
// directory. This walks the tree itself through \\?\ paths, which have no
// such limit, and never follows a link out of the tree.
#include "launcher/remove_tree.h"

#include "system/syscalls.h"

namespace {

// The longest path the system accepts, and its terminator.
constexpr size_t kLongPathCapacity = 32768;
wchar_t path[kLongPathCapacity];

size_t append(size_t length, const wchar_t *text) {
    while (*text != 0) {
        if (length + 1 >= kLongPathCapacity) return kLongPathCapacity;
        path[length++] = *text++;
    }
    path[length] = 0;
    return length;
}

bool is_dot_entry(const wchar_t *name) { return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0)); }

// Empties the folder whose path (of `length` units) is in `path`, then removes it.
void remove_folder(size_t length) {
    size_t pattern = append(length, L"\\*");
    if (pattern < kLongPathCapacity) {
        WIN32_FIND_DATAW found;
        HANDLE search = sys.FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (is_dot_entry(found.cFileName)) continue;
                path[length] = 0;
                size_t inner = append(append(length, L"\\"), found.cFileName);
                if (inner >= kLongPathCapacity) continue;
                bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                    sys.SetFileAttributesW(path, found.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
                if (folder && !link) remove_folder(inner);
                else if (folder) sys.RemoveDirectoryW(path);
                else sys.DeleteFileW(path);
            } while (sys.FindNextFileW(search, &found));
            sys.FindClose(search);
        }
    }
    path[length] = 0;
    sys.RemoveDirectoryW(path);
}

}  // namespace

void remove_directory_tree(const wchar_t *directory) {
    size_t length = 0;
    if (directory[0] == L'\\' && directory[1] == L'\\') {
        // \\?\... stays as it is; \\server\share becomes \\?\UNC\server\share.
        if (directory[2] == L'?' || directory[2] == L'.') length = append(0, directory);
        else length = append(append(0, L"\\\\?\\UNC"), directory + 1);
    } else {
        length = append(append(0, L"\\\\?\\"), directory);
    }
    while (length > 0 && length < kLongPathCapacity && path[length - 1] == L'\\') path[--length] = 0;
    // Nothing but a prefix and a drive or share root would be left: never that.
    if (length >= kLongPathCapacity || length <= 7) return;
    remove_folder(length);
}
