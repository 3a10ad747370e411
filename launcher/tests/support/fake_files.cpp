// The fake file system (see fake_files.h).
#include "launcher/tests/support/fake_files.h"

#include <string.h>

FakeFiles fake_files;

namespace {

const HANDLE kOpenFile = reinterpret_cast<HANDLE>(0x5000);
constexpr DWORD kAlreadyExists = 183, kPathNotFound = 3, kAccessDenied = 5;

std::wstring folded(const wchar_t *path) {
    std::wstring key = path;
    for (wchar_t &unit : key)
        if (unit >= L'a' && unit <= L'z') unit = static_cast<wchar_t>(unit - 32);
    return key;
}

std::set<std::wstring> file_keys;

bool parent_exists(const std::wstring &key) {
    size_t cut = key.rfind(L'\\');
    if (cut == std::wstring::npos) return true;  // the current folder
    std::wstring parent = key.substr(0, cut);
    return fake_files.folders.count(parent) > 0 || (parent.size() == 2 && parent[1] == L':');
}

void fail_with(DWORD code) {
    if (fake_files.set_error != nullptr) fake_files.set_error(code);
}

void complain(const char *what) {
    if (fake_files.complain != nullptr) fake_files.complain(what);
}

BOOL WINAPI create_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
    if (fake_files.keep_contents) fake_files.created.push_back(path);
    std::wstring key = folded(path);
    if (fake_files.folders.count(key) || file_keys.count(key)) return fail_with(kAlreadyExists), FALSE;
    if (!parent_exists(key)) return fail_with(kPathNotFound), FALSE;
    fake_files.folders.insert(key);
    return TRUE;
}

HANDLE WINAPI create_file(LPCWSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                          HANDLE) {
    if (!fake_files.open_name.empty()) complain("a file opened while the previous one is still open");
    if (fake_files.on_open != nullptr) fake_files.on_open(path, access, disposition, fake_files.files_opened);
    std::wstring key = folded(path);
    if (fake_files.folders.count(key) || !parent_exists(key)) {
        fake_files.open_refused = true;
        fail_with(fake_files.folders.count(key) ? kAccessDenied : kPathNotFound);
        return INVALID_HANDLE_VALUE;
    }
    ++fake_files.files_opened;
    file_keys.insert(key);
    fake_files.open_name = path;
    fake_files.written = 0;
    if (fake_files.keep_contents) fake_files.files[path].clear();
    return kOpenFile;
}

BOOL WINAPI write_file(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
    if (file != kOpenFile || fake_files.open_name.empty()) complain("a write to a file that is not open");
    fake_files.writes.push_back(size);
    if (fake_files.on_write != nullptr) fake_files.on_write(fake_files.files_opened - 1, data, size, fake_files.written);
    if (fake_files.keep_contents) fake_files.files[fake_files.open_name].append(static_cast<const char *>(data), size);
    fake_files.written += size;
    *written = size;
    return TRUE;
}

BOOL WINAPI close_file(HANDLE file) {
    if (file != kOpenFile || fake_files.open_name.empty()) complain("a handle closed that is not open");
    if (fake_files.on_close != nullptr) fake_files.on_close(fake_files.files_opened - 1, fake_files.written);
    fake_files.open_name.clear();
    return TRUE;
}

}  // namespace

void install_fake_files(const std::vector<std::wstring> &existing) {
    fake_files.folders.clear();
    for (const std::wstring &folder : existing) fake_files.folders.insert(folded(folder.c_str()));
    fake_files.files.clear();
    file_keys.clear();
    fake_files.created.clear();
    fake_files.writes.clear();
    fake_files.files_opened = 0;
    fake_files.open_refused = false;
    fake_files.open_name.clear();
    fake_files.written = 0;
    sys.CreateDirectoryW = create_directory;
    sys.CreateFileW = create_file;
    sys.WriteFile = write_file;
    sys.CloseHandle = close_file;
}

HANDLE fake_file_handle() { return kOpenFile; }
