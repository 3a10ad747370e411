// The fake file system (see fake_files.h).
#include "launcher/tests/support/fake_files.h"

#include <string.h>

#include "system/native_values.h"

FakeFiles fake_files;

namespace {

const HANDLE kOpenFile = reinterpret_cast<HANDLE>(0x5000);
constexpr DWORD kAlreadyExists = 183, kPathNotFound = 3, kAccessDenied = 5;
constexpr NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034u);
constexpr NTSTATUS kPathMissing = static_cast<NTSTATUS>(0xC000003Au);

std::wstring folded(const std::wstring &path) {
    std::wstring key = path;
    for (wchar_t &unit : key)
        if (unit >= L'a' && unit <= L'z') unit = static_cast<wchar_t>(unit - 32);
    return key;
}

std::set<std::wstring> file_keys;
// Open folder handles and the path each was opened by.
std::map<HANDLE, std::wstring> open_folders;
uintptr_t next_folder_handle;

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

HANDLE open_folder(const std::wstring &path) {
    HANDLE handle = reinterpret_cast<HANDLE>(next_folder_handle++);
    open_folders[handle] = path;
    return handle;
}

// Opens the file `path` for writing, its contents kept unless `empty`.
HANDLE open_file(const std::wstring &path, DWORD access, DWORD disposition, bool empty) {
    if (!fake_files.open_name.empty()) complain("a file opened while the previous one is still open");
    if (fake_files.on_open != nullptr) fake_files.on_open(path.c_str(), access, disposition, fake_files.files_opened);
    ++fake_files.files_opened;
    file_keys.insert(folded(path));
    fake_files.open_name = path;
    fake_files.written = 0;
    if (fake_files.keep_contents && (empty || fake_files.files.count(path) == 0)) fake_files.files[path].clear();
    return kOpenFile;
}

BOOL WINAPI create_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
    if (fake_files.keep_contents) fake_files.created.push_back(path);
    std::wstring key = folded(path);
    if (fake_files.folders.count(key) || file_keys.count(key)) return fail_with(kAlreadyExists), FALSE;
    if (!parent_exists(key)) return fail_with(kPathNotFound), FALSE;
    fake_files.folders.insert(key);
    return TRUE;
}

HANDLE WINAPI create_file(LPCWSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                          HANDLE) {
    std::wstring key = folded(path);
    if ((flags & FILE_FLAG_BACKUP_SEMANTICS) != 0) {
        if (fake_files.folders.count(key) == 0) return fail_with(kPathNotFound), INVALID_HANDLE_VALUE;
        return open_folder(path);
    }
    if (fake_files.folders.count(key) || !parent_exists(key)) {
        fake_files.open_refused = true;
        fail_with(fake_files.folders.count(key) ? kAccessDenied : kPathNotFound);
        return INVALID_HANDLE_VALUE;
    }
    return open_file(path, access, disposition, true);
}

NTSTATUS WINAPI nt_create_file(PHANDLE handle, DWORD access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                               PLARGE_INTEGER, ULONG, ULONG, ULONG disposition, ULONG options, PVOID, ULONG) {
    if (open_folders.count(attributes->RootDirectory) == 0) complain("an open relative to no open folder");
    std::wstring path = open_folders[attributes->RootDirectory] + L"\\" +
                        std::wstring(attributes->ObjectName->Buffer, attributes->ObjectName->Length / sizeof(wchar_t));
    std::wstring key = folded(path);
    bool is_folder = fake_files.folders.count(key) > 0, is_file = file_keys.count(key) > 0;
    bool create = disposition != kFileOpenExisting;
    io->Information = 1;  // opened
    if ((options & kOptionDirectory) != 0) {
        if (is_file) return fake_files.kind_refused = true, kStatusNotADirectory;
        if (!is_folder) {
            if (!create) return kNameNotFound;
            if (fake_files.keep_contents) fake_files.created.push_back(path);
            fake_files.folders.insert(key);
            io->Information = kFileWasCreated;
        }
        *handle = open_folder(path);
        return 0;
    }
    if (is_folder && create) return kStatusNameCollision;
    if (is_folder) return fake_files.kind_refused = true, kStatusFileIsADirectory;
    if (is_file && disposition == kFileCreateNew) return kStatusNameCollision;
    if (!is_file && !create) return kNameNotFound;
    if (!parent_exists(key)) return fake_files.open_refused = true, kPathMissing;
    *handle = open_file(path, access, disposition, false);
    return 0;
}

// The path a handle was opened by: an open folder's, or the open file's.
std::wstring opened_path(HANDLE handle) {
    if (handle == kOpenFile) return fake_files.open_name;
    if (open_folders.count(handle) == 0) complain("a question about a handle that is not open");
    return open_folders[handle];
}

NTSTATUS WINAPI query_information(HANDLE handle, PIO_STATUS_BLOCK, PVOID information, ULONG length, ULONG kind) {
    std::wstring key = folded(opened_path(handle));
    if (kind == kClassAttributeTag && length >= 2 * sizeof(ULONG)) {
        auto *tag = static_cast<ULONG *>(information);
        tag[0] = (handle == kOpenFile ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_DIRECTORY) |
                 (fake_files.links.count(key) ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
        tag[1] = 0;
        return 0;
    }
    if (kind == kClassStandard && length >= 2 * sizeof(LARGE_INTEGER) + sizeof(ULONG)) {
        memset(information, 0, length);
        ULONG links = fake_files.hard_linked.count(key) ? 2 : 1;
        memcpy(static_cast<char *>(information) + 2 * sizeof(LARGE_INTEGER), &links, sizeof links);
        return 0;
    }
    return kStatusAccessDenied;
}

NTSTATUS WINAPI set_information(HANDLE handle, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG kind) {
    if (handle != kOpenFile || kind != kClassEndOfFile) return kStatusAccessDenied;
    if (fake_files.keep_contents) fake_files.files[fake_files.open_name].clear();
    return 0;
}

ULONG WINAPI dos_error(NTSTATUS status) {
    switch (static_cast<uint32_t>(status)) {
    case 0xC0000035u: return kAlreadyExists;
    case 0xC0000034u: return 2;
    case 0xC000003Au: return kPathNotFound;
    default: return kAccessDenied;
    }
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

BOOL WINAPI close_handle(HANDLE handle) {
    if (open_folders.erase(handle) > 0) return TRUE;
    if (handle != kOpenFile || fake_files.open_name.empty()) complain("a handle closed that is not open");
    if (fake_files.on_close != nullptr) fake_files.on_close(fake_files.files_opened - 1, fake_files.written);
    fake_files.open_name.clear();
    return TRUE;
}

}  // namespace

void install_fake_files(const std::vector<std::wstring> &existing) {
    fake_files.folders.clear();
    for (const std::wstring &folder : existing) fake_files.folders.insert(folded(folder));
    fake_files.links.clear();
    fake_files.hard_linked.clear();
    fake_files.files.clear();
    file_keys.clear();
    open_folders.clear();
    next_folder_handle = 0x6000;
    fake_files.created.clear();
    fake_files.writes.clear();
    fake_files.files_opened = 0;
    fake_files.open_refused = false;
    fake_files.kind_refused = false;
    fake_files.open_name.clear();
    fake_files.written = 0;
    sys.CreateDirectoryW = create_directory;
    sys.CreateFileW = create_file;
    sys.NtCreateFile = nt_create_file;
    sys.NtQueryInformationFile = query_information;
    sys.NtSetInformationFile = set_information;
    sys.RtlNtStatusToDosError = dos_error;
    sys.WriteFile = write_file;
    sys.CloseHandle = close_handle;
}

HANDLE fake_file_handle() { return kOpenFile; }

void put_fake_folder(const std::wstring &path) { fake_files.folders.insert(folded(path)); }

void put_fake_file(const std::wstring &path, const std::string &contents) {
    file_keys.insert(folded(path));
    fake_files.files[path] = contents;
}

size_t open_fake_folders() { return open_folders.size(); }
