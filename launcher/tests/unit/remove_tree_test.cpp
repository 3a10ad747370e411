// Removal of a real directory tree: names beyond 260 units, read-only files,
// links never followed (not even one swapped in mid-walk), trees deeper than a
// stack allows, and nothing outside the tree touched, the current directory included.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "removal/remove_tree.h"
#include "tests/support/files.h"
#include "launcher/tests/support/seam.h"

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
    static std::vector<std::wstring> opened;
    opened.clear();
    sys.CreateFileW = [](LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) -> HANDLE {
        opened.push_back(path);
        return INVALID_HANDLE_VALUE;
    };
    for (const wchar_t *root : {L"C:", L"C:\\", L"\\\\?\\C:\\", L"\\\\?\\C:", L"\\\\server\\share\\",
                                L"\\\\?\\UNC\\server\\share", L"\\\\?\\unc\\server\\share\\", L"\\\\server"})
        remove_directory_tree(root);
    EXPECT_TRUE(opened.empty());
    // The root's parent is opened, to open the root relative to it.
    remove_directory_tree(L"C:\\x");
    remove_directory_tree(L"\\\\server\\share\\x");
    EXPECT_EQ(opened, (std::vector<std::wstring>{L"\\\\?\\C:\\", L"\\\\?\\UNC\\server\\share\\"}));
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

// A folder swapped for a link between the walk's listing of its parent and
// its opening is never entered: the handle is not on what was listed. Real
// under Wine, which follows the link although asked not to and so opens the
// link's target; the id the listing gave tells. On Windows the handle is the
// link itself, and not the listed folder either.
struct Swap {
    std::wstring folder, target;
    bool done = false;
} swap;
NTSTATUS WINAPI swapping_open(PHANDLE handle, DWORD access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                              PLARGE_INTEGER size, ULONG file_attributes, ULONG share, ULONG disposition,
                              ULONG options, PVOID ea, ULONG ea_length) {
    std::wstring name(attributes->ObjectName->Buffer, attributes->ObjectName->Length / sizeof(wchar_t));
    if (name == L"sub" && !swap.done) {
        swap.done = true;
        EXPECT_TRUE(MoveFileW(swap.folder.c_str(), (swap.folder + L"-aside").c_str())) << GetLastError();
        make_folder_link(swap.folder, swap.target);
    }
    return real_sys.NtCreateFile(handle, access, attributes, io, size, file_attributes, share, disposition, options,
                                 ea, ea_length);
}

TEST_F(RemoveTreeSeam, FolderSwappedForALinkMidWalkIsNeverEntered) {
    std::wstring root = widen(test_data("remove-swap-" + std::to_string(GetCurrentProcessId())));
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    for (const wchar_t *folder : {L"\\outside", L"\\target", L"\\target\\sub"})
        CreateDirectoryW((root + folder).c_str(), nullptr);
    make_file(root + L"\\outside\\keep.txt");
    make_file(root + L"\\target\\a.txt");
    make_file(root + L"\\target\\sub\\b.txt");
    swap = Swap{root + L"\\target\\sub", root + L"\\outside"};
    sys.NtCreateFile = swapping_open;

    remove_directory_tree((root + L"\\target").c_str());

    EXPECT_TRUE(swap.done);
    EXPECT_TRUE(exists(root + L"\\outside\\keep.txt"));
    EXPECT_FALSE(exists(root + L"\\target\\a.txt"));
    remove_host_tree(root);
}

// What Wine cannot show: Windows opens a link as itself, and its handle says
// so. Such a handle is deleted (the link goes, its target stays) and never
// listed, whatever the listing said; here the handle of a plain folder is
// made to say it.
HANDLE link_handle;
int link_listings, link_deletions;
NTSTATUS WINAPI remembering_open(PHANDLE handle, DWORD access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                                 PLARGE_INTEGER size, ULONG file_attributes, ULONG share, ULONG disposition,
                                 ULONG options, PVOID ea, ULONG ea_length) {
    NTSTATUS status = real_sys.NtCreateFile(handle, access, attributes, io, size, file_attributes, share, disposition,
                                            options, ea, ea_length);
    if (std::wstring(attributes->ObjectName->Buffer, attributes->ObjectName->Length / sizeof(wchar_t)) == L"link")
        link_handle = *handle;
    return status;
}

TEST_F(RemoveTreeSeam, AHandleThatIsTheLinkItselfIsDeletedNeverListed) {
    std::wstring root = widen(test_data("remove-link-handle-" + std::to_string(GetCurrentProcessId())));
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    CreateDirectoryW((root + L"\\link").c_str(), nullptr);
    make_file(root + L"\\link\\inner.txt");
    make_file(root + L"\\a.txt");
    link_handle = nullptr;
    link_listings = link_deletions = 0;
    sys.NtCreateFile = remembering_open;
    sys.NtQueryInformationFile = [](HANDLE handle, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                                    ULONG kind) -> NTSTATUS {
        NTSTATUS got = real_sys.NtQueryInformationFile(handle, io, information, length, kind);
        // The attributes with the reparse tag: their first field.
        if (handle == link_handle && kind == 35) *static_cast<ULONG *>(information) |= FILE_ATTRIBUTE_REPARSE_POINT;
        return got;
    };
    sys.NtQueryDirectoryFile = [](HANDLE folder, HANDLE event, PVOID routine, PVOID context, PIO_STATUS_BLOCK io,
                                  PVOID buffer, ULONG length, ULONG kind, BOOLEAN single, PUNICODE_STRING mask,
                                  BOOLEAN restart) -> NTSTATUS {
        if (folder == link_handle) ++link_listings;
        return real_sys.NtQueryDirectoryFile(folder, event, routine, context, io, buffer, length, kind, single, mask,
                                             restart);
    };
    sys.NtSetInformationFile = [](HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                                  ULONG kind) -> NTSTATUS {
        if (file == link_handle && (kind == 13 || kind == 64)) ++link_deletions;  // the two dispositions
        return real_sys.NtSetInformationFile(file, io, information, length, kind);
    };

    remove_directory_tree(root.c_str());

    EXPECT_NE(link_handle, nullptr);
    EXPECT_EQ(link_listings, 0);
    EXPECT_GE(link_deletions, 1);
    // The real folder behind the pretended link is not empty: its deletion fails and it stays whole.
    EXPECT_TRUE(exists(root + L"\\link\\inner.txt"));
    EXPECT_FALSE(exists(root + L"\\a.txt"));
    sys = real_sys;
    remove_directory_tree(root.c_str());
    EXPECT_FALSE(exists(root));
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

// The processors as GetSystemTimes shows them: all idle, or all busy. The
// times grow by a tenth of a second at each look, long enough to tell.
std::atomic<bool> processors_idle;
BOOL WINAPI pretended_times(LPFILETIME idle, LPFILETIME kernel, LPFILETIME user) {
    static std::atomic<unsigned long long> clock{1};
    unsigned long long now = clock.fetch_add(1000000) + 1000000;
    auto set = [](LPFILETIME time, unsigned long long value) {
        time->dwLowDateTime = static_cast<DWORD>(value);
        time->dwHighDateTime = static_cast<DWORD>(value >> 32);
    };
    set(idle, processors_idle ? now : 0);
    set(kernel, now);
    set(user, 0);
    return TRUE;
}

// A tree of `folders` folders of two folders of 40 files each, every
// seventh file read-only, below `top`; gives the files' paths.
std::vector<std::wstring> make_wide_tree(const std::wstring &top, int folders) {
    std::vector<std::wstring> files;
    CreateDirectoryW(top.c_str(), nullptr);
    for (int i = 0; i < folders; ++i)
        for (int j = 0; j < 2; ++j) {
            std::wstring folder = top + L"\\d" + std::to_wstring(i);
            CreateDirectoryW(folder.c_str(), nullptr);
            folder += L"\\e" + std::to_wstring(j);
            CreateDirectoryW(folder.c_str(), nullptr);
            for (int k = 0; k < 40; ++k) {
                files.push_back(folder + L"\\f-" + std::to_wstring(i) + L"-" + std::to_wstring(j) + L"-" +
                                std::to_wstring(k) + L".txt");
                make_file(files.back(), files.size() % 7 == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
            }
        }
    return files;
}

std::set<DWORD> deleting_threads;
std::mutex deleting_lock;
NTSTATUS WINAPI noted_deletion(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length, ULONG kind) {
    if (kind == 13 || kind == 64) {  // the two dispositions
        std::lock_guard<std::mutex> hold(deleting_lock);
        deleting_threads.insert(GetCurrentThreadId());
    }
    return real_sys.NtSetInformationFile(file, io, information, length, kind);
}

// A large tree's files go to helper threads while the processors have time
// to spare, and stay with the walking thread while they are busy; either
// way the whole tree goes, read-only files and the folders deleted after
// what is in them, and nothing beside it.
TEST_F(RemoveTreeSeam, LargeTreesAreRemovedWholeOnSeveralThreadsOnlyWhileProcessorsAreFree) {
    std::wstring root = widen(test_data("remove-wide-" + std::to_string(GetCurrentProcessId())));
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    make_file(root + L"\\keep.txt");
    sys.GetSystemTimes = pretended_times;
    sys.NtSetInformationFile = noted_deletion;
    for (bool idle : {false, true}) {
        processors_idle = idle;
        deleting_threads.clear();
        make_wide_tree(root + L"\\target", 4);
        remove_directory_tree((root + L"\\target").c_str());
        EXPECT_FALSE(exists(root + L"\\target")) << idle;
        EXPECT_TRUE(exists(root + L"\\keep.txt")) << idle;
        if (idle) EXPECT_GT(deleting_threads.size(), 1u);
        else EXPECT_EQ(deleting_threads, std::set<DWORD>{GetCurrentThreadId()});
    }
    sys = real_sys;
    remove_directory_tree(root.c_str());
    EXPECT_FALSE(exists(root));
}

// A file that a helper thread is about to open is swapped for a link to a
// file outside the tree: the helper judges it as the walk would, and the
// link's target stays. Real under Wine, which follows the link and would
// delete its target through the handle; the id the listing gave tells.
struct FileSwap {
    DWORD walking_thread;
    std::wstring tree, outside;
    std::atomic<bool> done{false};
} file_swap;
NTSTATUS WINAPI swapping_a_helpers_open(PHANDLE handle, DWORD access, POBJECT_ATTRIBUTES attributes,
                                        PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG file_attributes, ULONG share,
                                        ULONG disposition, ULONG options, PVOID ea, ULONG ea_length) {
    std::wstring name(attributes->ObjectName->Buffer, attributes->ObjectName->Length / sizeof(wchar_t));
    if (GetCurrentThreadId() != file_swap.walking_thread && name.rfind(L"f-", 0) == 0 &&
        !file_swap.done.exchange(true)) {
        // f-I-J-K.txt lives in dI\eJ.
        int i = 0, j = 0;
        swscanf(name.c_str(), L"f-%d-%d-", &i, &j);
        std::wstring path = file_swap.tree + L"\\d" + std::to_wstring(i) + L"\\e" + std::to_wstring(j) + L"\\" + name;
        EXPECT_TRUE(MoveFileW(path.c_str(), (file_swap.outside + L"\\moved.txt").c_str())) << GetLastError();
        make_file_link(path, file_swap.outside + L"\\keep.txt");
    }
    return real_sys.NtCreateFile(handle, access, attributes, io, size, file_attributes, share, disposition, options,
                                 ea, ea_length);
}

TEST_F(RemoveTreeSeam, AFileSwappedForALinkBeforeAHelperOpensItIsNeverFollowed) {
    std::string narrow_root = test_data("remove-file-swap-" + std::to_string(GetCurrentProcessId()));
    std::wstring root = widen(narrow_root);
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"\\outside").c_str(), nullptr));
    make_file(root + L"\\outside\\keep.txt");
    std::vector<std::wstring> files = make_wide_tree(root + L"\\target", 4);
    file_swap.walking_thread = GetCurrentThreadId();
    file_swap.tree = root + L"\\target";
    file_swap.outside = root + L"\\outside";
    file_swap.done = false;
    processors_idle = true;
    sys.GetSystemTimes = pretended_times;
    sys.NtCreateFile = swapping_a_helpers_open;

    remove_directory_tree((root + L"\\target").c_str());

    EXPECT_TRUE(file_swap.done);
    EXPECT_EQ(read_file(narrow_root + "/outside/keep.txt"), "x");
    size_t left = 0;
    for (const std::wstring &file : files) left += exists(file);
    EXPECT_EQ(left, 1u);  // the link, where a file was
    remove_host_tree(root);
}

}  // namespace
