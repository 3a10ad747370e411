// Removal of a real directory tree: names beyond 260 units, read-only files,
// links never followed, trees deeper than a stack allows, two removals at
// once, and nothing outside the tree touched, the current directory included.
#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <string>
#include <thread>
#include <vector>

#include "launcher/cleanup.h"
#include "launcher/remove_tree.h"
#include "launcher/state.h"
#include "tests/support/files.h"
#include "tests/support/seam.h"

namespace {

void make_file(const std::wstring &path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    WriteFile(file, "x", 1, &written, nullptr);
    CloseHandle(file);
}

bool exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST(RemoveTree, LongNamesReadOnlyFilesAndNothingElse) {
    std::wstring root = widen(test_data("remove-tree-" + std::to_string(GetCurrentProcessId())));
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    std::wstring target = root + L"\\target";
    std::wstring bystander = root + L"\\bystander";
    CreateDirectoryW(target.c_str(), nullptr);
    CreateDirectoryW(bystander.c_str(), nullptr);
    make_file(bystander + L"\\keep.txt");
    // Four folders of 200 units: well past 260 units in all.
    std::wstring deep = L"\\\\?\\" + target;
    for (int i = 0; i < 4; ++i) {
        deep += L"\\" + std::wstring(200, static_cast<wchar_t>(L'a' + i));
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << GetLastError();
    }
    make_file(deep + L"\\deep.txt");
    make_file(target + L"\\read-only.txt", FILE_ATTRIBUTE_READONLY);
    make_file(target + L"\\\U0001F680.txt");
    CreateDirectoryW((target + L"\\empty").c_str(), nullptr);

    // The current directory is where a broken deletion would strike.
    wchar_t previous[4096];
    GetCurrentDirectoryW(4096, previous);
    SetCurrentDirectoryW(bystander.c_str());
    remove_directory_tree((target + L"\\").c_str());
    SetCurrentDirectoryW(previous);

    EXPECT_FALSE(exists(target));
    EXPECT_TRUE(exists(bystander + L"\\keep.txt"));
    remove_directory_tree(root.c_str());
    EXPECT_FALSE(exists(root));
}

class RemoveTreeSeam : public SeamTest {};

TEST_F(RemoveTreeSeam, DriveRootsAreNeverTouched) {
    static int calls;
    calls = 0;
    sys.FindFirstFileExW = [](LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID, DWORD) -> HANDLE {
        ++calls;
        return INVALID_HANDLE_VALUE;
    };
    sys.RemoveDirectoryW = [](LPCWSTR) -> BOOL { return ++calls, FALSE; };
    for (const wchar_t *root : {L"C:", L"C:\\", L"\\\\?\\C:\\", L"\\\\?\\C:", L"\\\\server\\share\\",
                                L"\\\\?\\UNC\\server\\share", L"\\\\?\\unc\\server\\share\\", L"\\\\server"})
        remove_directory_tree(root);
    EXPECT_EQ(calls, 0);
    remove_directory_tree(L"C:\\x");
    EXPECT_EQ(calls, 2);
    remove_directory_tree(L"\\\\server\\share\\x");
    EXPECT_EQ(calls, 4);
}

bool on_wine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// Runs a host program under Wine with a flag and host paths below the test
// data, then waits until `done` holds (Wine's handle on a host process does
// not wait for it).
template <typename Done>
void run_host(const wchar_t *program, const std::string &flag, const std::vector<std::string> &paths, Done done) {
    std::string line = "x " + flag;
    for (const std::string &path : paths) line += " " + std::string(TARVEN_TEST_DATA) + "/" + path;
    std::wstring wide(line.begin(), line.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(program, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int i = 0; i < 500 && !done(); ++i) Sleep(10);
}

// Makes `link` a link to the folder `target`. Windows makes a junction
// without any privilege. Wine makes neither junctions nor symbolic links
// (CreateSymbolicLinkW does nothing); there the host's ln makes one, which
// Wine shows as a reparse-point folder. Both paths are below the test data.
void make_folder_link(const std::string &link, const std::string &target) {
    std::wstring wide_link = widen(test_data(link));
    if (on_wine()) {
        run_host(L"Z:\\bin\\ln", "-s", {target, link},
                 [&] { return GetFileAttributesW(wide_link.c_str()) != INVALID_FILE_ATTRIBUTES; });
    } else {
        ASSERT_TRUE(CreateDirectoryW(wide_link.c_str(), nullptr));
        HANDLE folder = CreateFileW(wide_link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        ASSERT_NE(folder, INVALID_HANDLE_VALUE);
        std::wstring substitute = L"\\??\\" + widen(test_data(target));
        std::vector<unsigned char> data(8 + 8 + (substitute.size() + 2) * 2);
        auto *header = reinterpret_cast<DWORD *>(data.data());
        header[0] = IO_REPARSE_TAG_MOUNT_POINT;
        auto *words = reinterpret_cast<WORD *>(data.data());
        words[2] = static_cast<WORD>(data.size() - 8);
        words[5] = static_cast<WORD>(substitute.size() * 2);  // substitute name length
        words[6] = static_cast<WORD>(substitute.size() * 2 + 2);  // print name offset, after the NUL
        memcpy(data.data() + 16, substitute.c_str(), substitute.size() * 2);
        DWORD returned = 0;
        BOOL made = DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, data.data(), static_cast<DWORD>(data.size()),
                                    nullptr, 0, &returned, nullptr);
        CloseHandle(folder);
        ASSERT_TRUE(made) << GetLastError();
    }
    ASSERT_NE(GetFileAttributesW(wide_link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
}

TEST(RemoveTree, LinksInsideAreRemovedNeverFollowed) {
    std::string root = "remove-links-" + std::to_string(GetCurrentProcessId());
    std::wstring wide_root = widen(test_data(root));
    ASSERT_TRUE(CreateDirectoryW(wide_root.c_str(), nullptr));
    for (const char *folder : {"/outside", "/target", "/target/sub"})
        CreateDirectoryW(widen(test_data(root + folder)).c_str(), nullptr);
    make_file(widen(test_data(root + "/outside/keep.txt")));
    make_file(widen(test_data(root + "/target/a.txt")));
    make_file(widen(test_data(root + "/target/sub/b.txt")));
    make_folder_link(root + "/target/sub/link", root + "/outside");

    remove_directory_tree(widen(test_data(root + "/target")).c_str());

    EXPECT_TRUE(exists(widen(test_data(root + "/outside/keep.txt"))));
    EXPECT_FALSE(exists(widen(test_data(root + "/target/a.txt"))));
    EXPECT_FALSE(exists(widen(test_data(root + "/target/sub/b.txt"))));
    // Windows removes the junction itself; Wine cannot remove a host link
    // (RemoveDirectoryW fails on it), so there the link and its folders stay.
    if (on_wine()) {
        run_host(L"Z:\\bin\\rm", "-rf", {root}, [&] { return !exists(wide_root); });
    } else {
        EXPECT_FALSE(exists(widen(test_data(root + "/target"))));
        remove_directory_tree(wide_root.c_str());
    }
}

// A tree deeper than a recursive walk could take on the stack that is left.
// Thousands of levels on a thread's default 1 MiB stack are the real case;
// under Wine every call walks all levels of its host path, so the time grows
// with the cube of the depth: here 400 levels with 48 KiB of stack left, where
// a walk that recursed would need hundreds of bytes a level.
void remove_with_little_stack(const wchar_t *directory) {
    volatile char here = 0;
    MEMORY_BASIC_INFORMATION stack = {};
    VirtualQuery(const_cast<char *>(&here), &stack, sizeof stack);
    size_t left = reinterpret_cast<ULONG_PTR>(&here) - reinterpret_cast<ULONG_PTR>(stack.AllocationBase);
    ASSERT_GT(left, 128u * 1024);
    volatile char *used = static_cast<char *>(__builtin_alloca(left - 48 * 1024));
    used[0] = 0;
    remove_directory_tree(directory);
}

TEST(RemoveTree, TreeDeeperThanTheStackAllows) {
    std::wstring top = L"\\\\?\\" + widen(test_data("remove-deep-" + std::to_string(GetCurrentProcessId())));
    std::wstring path = top;
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    for (int i = 0; i < 400; ++i) {
        path += L"\\d";
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << i << " " << GetLastError();
    }
    make_file(path + L"\\bottom.txt");
    std::thread removal([&] { remove_with_little_stack(top.c_str()); });
    removal.join();
    EXPECT_FALSE(exists(top));
}

// The main thread (after the child ended) and a console control thread can
// ask for the removal together: one removes, the other waits and then finds
// nothing left; their walks never interleave.
std::vector<DWORD> searching_threads;
SRWLOCK searching_lock = SRWLOCK_INIT;
HANDLE WINAPI logged_search(LPCWSTR path, FINDEX_INFO_LEVELS level, LPVOID found, FINDEX_SEARCH_OPS search,
                            LPVOID filter, DWORD flags) {
    AcquireSRWLockExclusive(&searching_lock);
    searching_threads.push_back(GetCurrentThreadId());
    ReleaseSRWLockExclusive(&searching_lock);
    Sleep(2);  // widens the window in which the other thread could step in
    return real_sys.FindFirstFileExW(path, level, found, search, filter, flags);
}

TEST_F(RemoveTreeSeam, TwoRemovalsAtOnceTakeTurns) {
    std::string root = "remove-race-" + std::to_string(GetCurrentProcessId());
    std::wstring wide_root = widen(test_data(root));
    ASSERT_TRUE(CreateDirectoryW(wide_root.c_str(), nullptr));
    CreateDirectoryW((wide_root + L"\\outside").c_str(), nullptr);
    make_file(wide_root + L"\\outside\\keep.txt");
    std::wstring target = wide_root + L"\\target";
    CreateDirectoryW(target.c_str(), nullptr);
    for (int i = 0; i < 20; ++i) {
        std::wstring folder = target + L"\\f" + std::to_wstring(i);
        CreateDirectoryW(folder.c_str(), nullptr);
        make_file(folder + L"\\x.txt");
    }
    wcscpy(target_directory, target.c_str());
    extraction_started = true;
    searching_threads.clear();
    sys.FindFirstFileExW = logged_search;
    std::thread control([] { console_control_handler(CTRL_C_EVENT); });
    cleanup_at_exit();
    control.join();
    extraction_started = false;

    EXPECT_FALSE(exists(target));
    EXPECT_TRUE(exists(wide_root + L"\\outside\\keep.txt"));
    size_t switches = 0;
    for (size_t i = 1; i < searching_threads.size(); ++i) switches += searching_threads[i] != searching_threads[i - 1];
    EXPECT_LE(switches, 1u) << "the two removals interleaved";
    EXPECT_GE(searching_threads.size(), 22u);
    remove_directory_tree(wide_root.c_str());
}

}  // namespace
