// The CMake example's application: prints data\message.txt and every file
// unpacked beside it; "--copy-to FOLDER" also copies them all into FOLDER
// (the package test compares that copy with `tarven-pack extract`).
// Exit code 0, or 3 when reading or copying fails.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <string>

namespace {

// Walks `root`\`relative` depth first; prints each file's relative name and
// size, and copies it below `copy_to` when that is not empty.
bool walk(const std::wstring& root, const std::wstring& relative, const std::wstring& copy_to) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((root + L"\\" + relative + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring inner = relative + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!copy_to.empty() && !CreateDirectoryW((copy_to + L"\\" + inner).c_str(), nullptr)) ok = false;
            ok = walk(root, inner + L"\\", copy_to) && ok;
        } else {
            printf("file %ls %lu\n", inner.c_str(), found.nFileSizeLow);
            if (!copy_to.empty() &&
                !CopyFileW((root + L"\\" + inner).c_str(), (copy_to + L"\\" + inner).c_str(), TRUE))
                ok = false;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return ok;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* library_path) {
    std::wstring copy_to;
    for (int i = 1; i + 1 < argc; ++i)
        if (wcscmp(argv[i], L"--copy-to") == 0) copy_to = argv[i + 1];
    std::wstring folder = library_path;
    folder.resize(folder.rfind(L'\\'));

    int status = 0;
    if (FILE* message = _wfopen((folder + L"\\data\\message.txt").c_str(), L"r")) {
        char line[256];
        if (fgets(line, sizeof line, message)) printf("message: %s", line);
        fclose(message);
    } else {
        status = 3;
    }
    if (!copy_to.empty() && !CreateDirectoryW(copy_to.c_str(), nullptr)) status = 3;
    if (!walk(folder, L"", copy_to)) status = 3;
    fflush(stdout);
    return status;
}
