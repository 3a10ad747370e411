// A full disk, for real: packed executables that unpack 64 MiB run with
// their temporary folder on a 4 MiB file system (a tmpfs, which, as
// Windows' file systems do, writes what fits of a write and fails the next). tests/disk/full_disk_test.py
// mounts one (as root, on the host) and names a folder on it in
// TARVEN_SMALL_DISK; without it the test is skipped.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/e2e/launch.h"

namespace {

unsigned long long free_bytes(const std::wstring &folder) {
    ULARGE_INTEGER available = {}, total = {}, free = {};
    EXPECT_TRUE(GetDiskFreeSpaceExW(folder.c_str(), &available, &total, &free));
    return free.QuadPart;
}

// The disk fills midway through a chunk: the rest of the short write is
// written, and the next write names the system's reason (Windows' text for
// 112 is "There is not enough space on the disk.", Wine's "Disk full.").
// What was unpacked goes before the launcher ends with 2, in the default
// mode and in the cached mode (its unpacking folder): the next start of
// another packed executable runs.
TEST(FullDisk, TheReasonIsNamedAndTheDiskLeftAsFound) {
    wchar_t disk[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"TARVEN_SMALL_DISK", disk, MAX_PATH) == 0)
        GTEST_SKIP() << "needs a small file system: tests/disk/full_disk_test.py mounts one as root";
    std::wstring temp = std::wstring(disk) + L"\\temp";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    std::map<std::wstring, std::wstring> environment = {{L"TEMP", temp}, {L"TMP", temp}};
    // Whether the last write is short depends on the room left then: a
    // filler of a few sizes moves it.
    for (DWORD filler : {0, 5 << 10, 10 << 10, 15 << 10}) {
        std::wstring filler_path = std::wstring(disk) + L"\filler";
        HANDLE file = CreateFileW(filler_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        std::string bytes(filler, 'f');
        DWORD written = 0;
        WriteFile(file, bytes.data(), filler, &written, nullptr);
        CloseHandle(file);
        unsigned long long before = free_bytes(temp);
        for (const wchar_t *name : {L"big.exe", L"cached-big.exe"}) {
            std::wstring exe = packed(name);
            Finished run = run_program(exe, L"\"" + exe + L"\" exit 0", environment);
            std::string where = narrow(name) + " beside a filler of " + std::to_string(filler) + " bytes";
            EXPECT_EQ(run.exit_code, 2u) << where;
            EXPECT_EQ(run.standard_error.rfind("Error, couldn't unpack file to target path. ([Error 112] ", 0), 0u)
                << where << ": " << run.standard_error;
            if (std::wstring(name) == L"big.exe") {
                EXPECT_EQ(free_bytes(temp), before) << where;
            }
        }
        DeleteFileW(filler_path.c_str());
    }
    // The product's folder above the cached mode's unpacking folder is made
    // as the system makes folders, and stays.
    EXPECT_EQ(list_folder(temp), std::vector<std::wstring>{L"cached"});
    EXPECT_TRUE(list_folder(temp + L"\\cached").empty());
    std::wstring probe = packed(L"probe.exe");
    EXPECT_EQ(run_program(probe, L"\"" + probe + L"\" exit 7", environment).exit_code, 7u);
}

}  // namespace
