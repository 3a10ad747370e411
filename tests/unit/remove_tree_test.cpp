// Removal of a real directory tree: names beyond 260 units, read-only files,
// links never followed, trees deeper than a stack allows, and nothing outside
// the tree touched, the current directory included.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "removal/remove_tree.h"
#include "tests/support/files.h"
#include "tests/support/seam.h"

namespace {

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

TEST(RemoveTree, LinksInsideAreRemovedNeverFollowed) {
    std::string root = "remove-links-" + std::to_string(GetCurrentProcessId());
    std::wstring wide_root = widen(test_data(root));
    ASSERT_TRUE(CreateDirectoryW(wide_root.c_str(), nullptr));
    for (const char *folder : {"/outside", "/target", "/target/sub"})
        CreateDirectoryW(widen(test_data(root + folder)).c_str(), nullptr);
    make_file(widen(test_data(root + "/outside/keep.txt")));
    make_file(widen(test_data(root + "/target/a.txt")));
    make_file(widen(test_data(root + "/target/sub/b.txt")));
    make_folder_link(widen(test_data(root + "/target/sub/link")), widen(test_data(root + "/outside")));

    remove_directory_tree(widen(test_data(root + "/target")).c_str());

    EXPECT_TRUE(exists(widen(test_data(root + "/outside/keep.txt"))));
    EXPECT_FALSE(exists(widen(test_data(root + "/target/a.txt"))));
    EXPECT_FALSE(exists(widen(test_data(root + "/target/sub/b.txt"))));
    // Windows removes the junction itself; Wine cannot remove a host link
    // (RemoveDirectoryW fails on it), so there the link and its folders stay.
    if (on_wine()) {
        remove_host_tree(wide_root);
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

}  // namespace
