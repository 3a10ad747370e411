// Removal of a real directory tree: names beyond 260 units, read-only files,
// and nothing outside the tree touched, the current directory included.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "launcher/remove_tree.h"
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
    for (const wchar_t *root : {L"C:", L"C:\\", L"\\\\?\\C:\\", L"\\\\?\\C:"}) remove_directory_tree(root);
    EXPECT_EQ(calls, 0);
    remove_directory_tree(L"C:\\x");
    EXPECT_EQ(calls, 2);
}

}  // namespace
