// A launcher killed hard: its child ends with it, the processes the
// application started live on, and the next start of any packed executable
// removes the folder it left, and only such folders.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <string>

#include "tests/e2e/launch.h"
#include "tests/support/files.h"

namespace {

// The first process whose parent is `parent`, or 0.
DWORD child_of(DWORD parent) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    DWORD found = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && found == 0; more = Process32NextW(snapshot, &entry))
        if (entry.th32ParentProcessID == parent) found = entry.th32ProcessID;
    CloseHandle(snapshot);
    return found;
}

void make_folder(const std::wstring &path, const char *file = nullptr) {
    CreateDirectoryW(path.c_str(), nullptr);
    if (file != nullptr) CloseHandle(CreateFileW((path + L"\\" + std::wstring(file, file + strlen(file))).c_str(),
                                                 GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

TEST(KilledLauncher, ChildEndsWithItAndTheNextStartSweepsItsFolder) {
    std::wstring temp = scratch_folder(L"killed");
    std::wstring exe = packed(L"probe.exe");
    std::wstring block = environment_block({{L"TMP", temp}, {L"TEMP", temp}});
    std::wstring line = L"\"" + exe + L"\" hold 3000 sleep";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION parent = {};
    ASSERT_TRUE(CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                               block.data(), nullptr, &startup, &parent));
    CloseHandle(parent.hThread);
    // Running: the application has started its holder, which holds a file of the folder.
    std::wstring folder, mark;
    for (int i = 0; i < 3000 && (folder.empty() || !exists(mark)); ++i) {
        Sleep(10);
        auto names = list_folder(temp);
        if (names.size() == 1) folder = temp + L"\\" + names[0], mark = folder + L"\\data\\held.txt.open";
    }
    ASSERT_TRUE(exists(mark)) << "the application did not start its holder";
    HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, child_of(parent.dwProcessId));
    ASSERT_NE(child, nullptr);

    TerminateProcess(parent.hProcess, 1);
    WaitForSingleObject(parent.hProcess, INFINITE);
    CloseHandle(parent.hProcess);
    // The child would sleep a minute: ten seconds leave room for a loaded
    // machine, on which Wine's ending of the job once took over one.
    EXPECT_EQ(WaitForSingleObject(child, 10000), WAIT_OBJECT_0) << "the child outlived its parent by ten seconds";
    CloseHandle(child);
    // The holder broke away from the child's job: it still holds its file.
    EXPECT_TRUE(exists(mark));
    for (int i = 0; i < 1000 && exists(mark); ++i) Sleep(10);

    // Beside the leftover: folders that must stay, and a leftover holding a
    // link to a folder outside, which must not be followed. A folder that a
    // running process uses stays because Windows refuses to rename it; Wine
    // renames such a folder as its host does, so that case cannot be shown here.
    const std::wstring dead = L"99999996";  // no process has this id
    const std::wstring keep[] = {
        L"onefile_x", L"onefile_" + dead + L"_12345_AAAAAAAAAAA", L"onefile_" + dead + L"_123456_AAAAAAAAAA",
        L"onefile_" + dead + L"_123456_AAAAAAAAAAAA", L"onefile_0" + dead + L"_123456_AAAAAAAAAAA",
        L"Onefile_" + dead + L"_123456_AAAAAAAAAAA", L"onefile_" + dead + L"_123456_AAAAAAAAAAA.old",
        L"onefile_" + std::to_wstring(GetCurrentProcessId()) + L"_123456_AAAAAAAAAAA"};  // a live launcher id
    for (const std::wstring &name : keep) make_folder(temp + L"\\" + name, "x.txt");
    make_folder(temp + L"\\outside", "keep.txt");
    std::wstring linked = temp + L"\\onefile_" + dead + L"_654321_LINKLINK-_L";
    make_folder(linked, "a.txt");
    make_folder_link(linked + L"\\link", temp + L"\\outside");

    // The sweep runs while the child does and stops when it ends: a child of
    // two seconds leaves it ample time for these few folders.
    Finished run = run_program(exe, L"\"" + exe + L"\" sleep 2000", {{L"TMP", temp}, {L"TEMP", temp}});
    EXPECT_EQ(run.exit_code, 3u);
    EXPECT_FALSE(exists(folder)) << "the killed launcher's folder stayed";
    for (const std::wstring &name : keep) EXPECT_TRUE(exists(temp + L"\\" + name + L"\\x.txt")) << narrow(name);
    EXPECT_TRUE(exists(temp + L"\\outside\\keep.txt"));
    EXPECT_FALSE(exists(linked));
    // Windows removes the junction with its folder. Wine cannot remove a host
    // link, so there the claimed folder stays with only the link in it.
    auto left = list_folder(temp);
    EXPECT_EQ(left.size(), std::size(keep) + 1 + (on_wine() ? 1 : 0));
    for (const std::wstring &name : left)
        if (name.find(L"LINKLINK") != std::wstring::npos) {
            EXPECT_EQ(list_folder(temp + L"\\" + name), std::vector<std::wstring>{L"link"});
            remove_host_tree(temp + L"\\" + name);
        }
}

}  // namespace
