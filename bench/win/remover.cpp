// The floor of removing the unpacked folder under Wine: a GUI program that
// removes a tree by path on one thread, with FindFirstFileW / FindNextFileW
// to list each folder, DeleteFileW per file and RemoveDirectoryW per folder
// once emptied, and nothing else: no handle of its own, no check of what it
// deletes.
// Usage: tree-remover FOLDER
// Prints "begin_qpc=.. removed_qpc=.." and exits 0 when FOLDER is gone: the
// driver takes its own end of the process less begin, the removal and the
// process's exit, as it takes the launcher's end less its application's.
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string>

namespace {

int64_t now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

bool remove_tree(const std::wstring &folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool removed = true;
    do {
        const wchar_t *name = found.cFileName;
        if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
        std::wstring path = folder + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) removed = remove_tree(path) && removed;
        else removed = DeleteFileW(path.c_str()) && removed;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return RemoveDirectoryW(folder.c_str()) && removed;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc != 2) return 2;
    int64_t begin = now();
    if (!remove_tree(argv[1])) return 3;
    int64_t removed = now();
    char line[96];
    snprintf(line, sizeof line, "begin_qpc=%lld removed_qpc=%lld\n", static_cast<long long>(begin),
             static_cast<long long>(removed));
    DWORD count = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(strlen(line)), &count, nullptr);
    return 0;
}
