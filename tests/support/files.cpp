// File helpers (see files.h).
#include "tests/support/files.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <fstream>
#include <sstream>
#include <vector>

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string test_data(const std::string &name) { return std::string("Z:") + TARVEN_TEST_DATA + "/" + name; }

std::wstring widen(const std::string &text) {
    std::wstring wide;
    for (unsigned char c : text) wide += static_cast<wchar_t>(c == '/' ? '\\' : c);
    return wide;
}

bool on_wine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

bool exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void make_file(const std::wstring &path, unsigned long attributes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    WriteFile(file, "x", 1, &written, nullptr);
    CloseHandle(file);
}

namespace {

// The host's name of a path on the Z: drive.
std::wstring host_path(std::wstring path) {
    EXPECT_EQ(path.rfind(L"Z:", 0), 0u);
    path.erase(0, 2);
    for (wchar_t &c : path) c = c == L'\\' ? L'/' : c;
    return path;
}

// Runs a host program under Wine, then waits until `done` holds: Wine's
// handle on a host process does not wait for it.
template <typename Done>
void run_host(const wchar_t *program, const std::wstring &arguments, Done done) {
    std::wstring line = L"x " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(program, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int i = 0; i < 500 && !done(); ++i) Sleep(10);
}

// A host symbolic link at `link` to `target` (under Wine).
void make_host_link(const std::wstring &link, const std::wstring &target) {
    run_host(L"Z:\\bin\\ln", L"-s " + host_path(target) + L" " + host_path(link), [&] { return exists(link); });
}

}  // namespace

void make_folder_link(const std::wstring &link, const std::wstring &target) {
    if (on_wine()) {
        make_host_link(link, target);
    } else {
        ASSERT_TRUE(CreateDirectoryW(link.c_str(), nullptr));
        HANDLE folder = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        ASSERT_NE(folder, INVALID_HANDLE_VALUE);
        // A mount point's data: tag, length, then the substitute name and an empty print name.
        std::wstring substitute = L"\\??\\" + target;
        std::vector<unsigned char> data(8 + 8 + (substitute.size() + 2) * 2);
        *reinterpret_cast<DWORD *>(data.data()) = IO_REPARSE_TAG_MOUNT_POINT;
        auto *words = reinterpret_cast<WORD *>(data.data());
        words[2] = static_cast<WORD>(data.size() - 8);
        words[5] = static_cast<WORD>(substitute.size() * 2);      // substitute name length
        words[6] = static_cast<WORD>(substitute.size() * 2 + 2);  // print name offset, after the NUL
        memcpy(data.data() + 16, substitute.c_str(), substitute.size() * 2);
        DWORD returned = 0;
        BOOL made = DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, data.data(), static_cast<DWORD>(data.size()),
                                    nullptr, 0, &returned, nullptr);
        CloseHandle(folder);
        ASSERT_TRUE(made) << GetLastError();
    }
    ASSERT_NE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
}

void make_file_link(const std::wstring &link, const std::wstring &target) {
    if (on_wine()) make_host_link(link, target);
    else make_folder_link(link, target);
    ASSERT_TRUE(exists(link));
}

void remove_host_tree(const std::wstring &folder) {
    if (on_wine()) {
        run_host(L"Z:\\bin\\rm", L"-rf " + host_path(folder), [&] { return !exists(folder); });
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName, path = folder + L"\\" + name;
            if (name == L"." || name == L"..") continue;
            bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !link) remove_host_tree(path);
            else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveDirectoryW(path.c_str());
            else DeleteFileW(path.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

namespace {

// The folder's access list as the system reports it now. The size asked for
// first may be too small by the time of the read: under Wine the list is
// made from the host mode at each call, and a host chmod running meanwhile
// (let_everyone_write's) adds entries between the two calls; the read is
// then made again with the size the system reported, the newer one.
std::vector<unsigned char> read_dacl(const std::wstring &folder) {
    DWORD needed = 0;
    GetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<unsigned char> descriptor;
    for (;;) {
        descriptor.resize(needed);
        if (GetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed)) break;
        DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER || needed <= descriptor.size()) {
            ADD_FAILURE() << "the access list of the folder was not read: error " << error;
            return {};
        }
    }
    return descriptor;
}

}  // namespace

bool others_granted(const std::wstring &folder, unsigned long rights) {
    std::vector<unsigned char> descriptor = read_dacl(folder);
    if (descriptor.empty()) return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    GetSecurityDescriptorDacl(descriptor.data(), &present, &acl, &defaulted);
    if (!present || acl == nullptr) return true;  // no list: everyone may do anything
    for (WELL_KNOWN_SID_TYPE other : {WinWorldSid, WinBuiltinUsersSid, WinAuthenticatedUserSid}) {
        unsigned char sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof sid;
        CreateWellKnownSid(other, nullptr, sid, &size);
        for (DWORD i = 0; i < acl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE *ace = nullptr;
            GetAce(acl, i, reinterpret_cast<void **>(&ace));
            if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && EqualSid(&ace->SidStart, sid) && (ace->Mask & rights))
                return true;
        }
    }
    return false;
}

void let_everyone_write(const std::wstring &folder) {
    if (on_wine()) {
        run_host(L"Z:\\bin\\chmod", L"777 " + host_path(folder), [&] { return others_granted(folder, FILE_ADD_FILE); });
    } else {
        unsigned char everyone[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof everyone;
        CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size);
        std::vector<unsigned char> descriptor = read_dacl(folder);
        ASSERT_FALSE(descriptor.empty());
        BOOL present = FALSE, defaulted = FALSE;
        PACL old = nullptr;
        GetSecurityDescriptorDacl(descriptor.data(), &present, &old, &defaulted);
        std::vector<unsigned char> acl(4096);
        InitializeAcl(reinterpret_cast<PACL>(acl.data()), static_cast<DWORD>(acl.size()), ACL_REVISION);
        for (DWORD i = 0; old != nullptr && i < old->AceCount; ++i) {
            ACE_HEADER *ace = nullptr;
            GetAce(old, i, reinterpret_cast<void **>(&ace));
            AddAce(reinterpret_cast<PACL>(acl.data()), ACL_REVISION, MAXDWORD, ace, ace->AceSize);
        }
        AddAccessAllowedAce(reinterpret_cast<PACL>(acl.data()), ACL_REVISION, FILE_ALL_ACCESS, everyone);
        SECURITY_DESCRIPTOR fresh;
        InitializeSecurityDescriptor(&fresh, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&fresh, TRUE, reinterpret_cast<PACL>(acl.data()), FALSE);
        ASSERT_TRUE(SetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, &fresh)) << GetLastError();
    }
    ASSERT_TRUE(others_granted(folder, FILE_ADD_FILE));
}
