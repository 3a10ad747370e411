// Fifty launches of one packed executable started at once: each gets a
// target folder of its own, its application reads its own files there and
// ends its launcher with its own exit code, and no folder is left afterwards.
// The time from the first start to the last exit is printed, not judged.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/launch.h"
#include "tests/support/files.h"
#include "tests/support/wine_starts.h"

namespace {

constexpr int kLaunches = 50;
constexpr DWORD kTimeoutMs = 300000;

TEST(Concurrency, FiftyLaunchesAtOnceKeepTheirFoldersAndExitCodesApart) {
    std::wstring root = scratch_folder(L"concurrent");
    std::wstring temp = root + L"\\temp", reports = root + L"\\reports";
    CreateDirectoryW(temp.c_str(), nullptr);
    CreateDirectoryW(reports.c_str(), nullptr);
    std::wstring exe = packed(L"probe.exe");
    std::wstring block = environment_block({{L"TEMP", temp}, {L"TMP", temp}});

    std::vector<PROCESS_INFORMATION> launched;
    auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < kLaunches; ++i) {
        std::wstring line = L"\"" + exe + L"\" reportexit \"" + reports + L"\\" + std::to_wstring(i) + L".txt\" " +
                            std::to_wstring(100 + i);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        BOOL created = create_process_despite_wine([&] {
            return CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                                  block.data(), nullptr, &startup, &process);
        });
        ASSERT_TRUE(created) << "launch " << i << ": " << GetLastError();
        CloseHandle(process.hThread);
        launched.push_back(process);
    }
    std::vector<HANDLE> handles;
    for (const PROCESS_INFORMATION &process : launched) handles.push_back(process.hProcess);
    DWORD waited = WaitForMultipleObjects(kLaunches, handles.data(), TRUE, kTimeoutMs);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (waited == WAIT_TIMEOUT) {
        ADD_FAILURE() << "the launches did not all end within " << kTimeoutMs / 1000 << " s";
        for (HANDLE process : handles) TerminateProcess(process, 1);
        WaitForMultipleObjects(kLaunches, handles.data(), TRUE, INFINITE);
    }
    char figure[160];
    snprintf(figure, sizeof figure, "%d concurrent launches: %.1f s from the first start to the last exit\n",
             kLaunches, seconds);
    printf("%s", figure);
    // Kept for the test command's closing figures.
    CreateDirectoryW(widen(std::string("Z:") + TARVEN_FIGURES_DIR).c_str(), nullptr);
    HANDLE kept = CreateFileW(widen(std::string("Z:") + TARVEN_FIGURES_DIR + "/concurrency.txt").c_str(),
                              GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(kept, figure, static_cast<DWORD>(strlen(figure)), &written, nullptr);
    CloseHandle(kept);

    std::set<std::string> folders;
    for (int i = 0; i < kLaunches; ++i) {
        SCOPED_TRACE("launch " + std::to_string(i));
        DWORD code = 0;
        GetExitCodeProcess(launched[i].hProcess, &code);
        EXPECT_EQ(code, static_cast<DWORD>(100 + i));
        auto seen = read_report(reports + L"\\" + std::to_wstring(i) + L".txt");
        std::string pid = std::to_string(launched[i].dwProcessId);
        EXPECT_EQ(seen["TARVEN_ONEFILE_PARENT"], pid);
        std::string library = seen["library"];
        std::string folder = library.substr(0, library.rfind('\\'));
        EXPECT_EQ(folder.rfind(narrow(temp) + "\\onefile_" + pid + "_", 0), 0u) << folder;
        EXPECT_EQ(seen["readme"], "data beside the probe");
        folders.insert(folder);
        CloseHandle(launched[i].hProcess);
    }
    EXPECT_EQ(folders.size(), static_cast<size_t>(kLaunches));
    EXPECT_TRUE(list_folder(temp).empty());
}

}  // namespace
