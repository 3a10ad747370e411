// Re-entry detection: the parent's image path, read from its memory or,
// where that is refused, named by the system; parents with long paths.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "run/missing_import.h"
#include "run/reentry.h"
#include "paths/identity.h"
#include "launcher/tests/support/seam.h"

namespace {

// The parent's image path, read from its memory or, where that is refused, named by the system.
class ReentryTest : public SeamTest {
protected:
    void SetUp() override {
        forget_own_executable_paths();
        SetEnvironmentVariableW(L"TARVEN_ONEFILE_PARENT", L"4321");
        sys.CloseHandle = [](HANDLE) -> BOOL { return TRUE; };
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"TARVEN_ONEFILE_PARENT", nullptr);
        SeamTest::TearDown();
        forget_own_executable_paths();
    }
};

HANDLE WINAPI opens_with_any_access(DWORD, BOOL, DWORD id) {
    EXPECT_EQ(id, 4321u);
    return reinterpret_cast<HANDLE>(0x99);
}
HANDLE WINAPI opens_only_limited(DWORD access, BOOL, DWORD) {
    return (access & PROCESS_VM_READ) == 0 ? reinterpret_cast<HANDLE>(0x99) : nullptr;
}
DWORD WINAPI memory_refused(HANDLE, HMODULE, LPWSTR, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}
BOOL WINAPI names_this_executable(HANDLE, DWORD, LPWSTR path, DWORD *size) {
    *size = GetModuleFileNameW(nullptr, path, *size);
    return TRUE;
}
BOOL WINAPI names_nothing(HANDLE, DWORD, LPWSTR, DWORD *) { return FALSE; }

TEST_F(ReentryTest, ParentWhoseMemoryCannotBeReadIsStillRecognised) {
    sys.OpenProcess = opens_with_any_access;
    sys.K32GetModuleFileNameExW = memory_refused;
    sys.QueryFullProcessImageNameW = names_this_executable;
    sys.GetExitCodeProcess = [](HANDLE, LPDWORD code) -> BOOL { return *code = STILL_ACTIVE, TRUE; };
    EXPECT_TRUE(detect_reentry());
    sys.OpenProcess = opens_only_limited;
    EXPECT_TRUE(detect_reentry());
    // Its image is still named after it ended, while a handle keeps it: that is no parent.
    sys.GetExitCodeProcess = [](HANDLE, LPDWORD code) -> BOOL { return *code = 0, TRUE; };
    EXPECT_FALSE(detect_reentry());
    sys.GetExitCodeProcess = [](HANDLE, LPDWORD code) -> BOOL { return *code = STILL_ACTIVE, TRUE; };
    sys.QueryFullProcessImageNameW = names_nothing;
    EXPECT_FALSE(detect_reentry());
    sys.OpenProcess = [](DWORD, BOOL, DWORD) -> HANDLE { return nullptr; };
    EXPECT_FALSE(detect_reentry());
}

// A child must recognise a parent whose path is as long as its own path may
// be; one that does not becomes a parent and starts yet another child.
std::wstring long_path;
DWORD copy_long_path(LPWSTR buffer, DWORD capacity) {
    DWORD length = static_cast<DWORD>(long_path.size());
    if (length >= capacity) length = capacity - 1;  // cut short, as the system does
    wmemcpy(buffer, long_path.c_str(), length);
    buffer[length] = 0;
    return length;
}

TEST_F(ReentryTest, ParentsWithLongPathsAreRecognised) {
    sys.OpenProcess = opens_with_any_access;
    sys.GetModuleFileNameW = [](HMODULE, LPWSTR buffer, DWORD capacity) { return copy_long_path(buffer, capacity); };
    sys.K32GetModuleFileNameExW = [](HANDLE, HMODULE, LPWSTR buffer, DWORD capacity) {
        return copy_long_path(buffer, capacity);
    };
    sys.CreateFileW = [](LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
        return INVALID_HANDLE_VALUE;
    };
    sys.GetShortPathNameW = [](LPCWSTR, LPWSTR, DWORD) -> DWORD { return 0; };
    for (size_t length : {2047u, 2048u, 2049u, 4095u, 4096u}) {
        long_path = L"C:\\" + std::wstring(length - 12, L'd') + L"\\tool.exe";
        ASSERT_EQ(long_path.size(), length);
        forget_own_executable_paths();
        EXPECT_TRUE(detect_reentry()) << length;
    }
}

}  // namespace

namespace {

std::string file_bytes(const std::wstring &path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    char buffer[65536];
    DWORD got = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

void put_file(const std::wstring &path, const std::string &bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD wrote = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr);
    CloseHandle(file);
}

}  // namespace

// The second line's search reads import tables with every offset checked: a
// system DLL whose imports are all there gives no line, and so do its copies
// cut short, with the import directory pointing outside the file, or with
// every byte past the headers overwritten; none of them crashes.
TEST(MissingImport, NamesAMissingFunctionAndNothingInDamagedImages) {
    wchar_t system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::string dll = file_bytes(std::wstring(system) + L"\\kernel32.dll");
    ASSERT_GT(dll.size(), 4096u);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"missing-import-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring path = folder + L"\\app.dll";
    const uint32_t pe = *reinterpret_cast<const uint32_t *>(dll.data() + 0x3C);

    std::string outside = dll;
    const uint32_t far_away = 0x7FFFFFF0;
    memcpy(&outside[pe + 24 + 120], &far_away, 4);  // the import directory's RVA
    std::string overwritten = dll.substr(0, 1024) + std::string(dll.size() - 1024, '\xFF');
    for (const std::string &bytes : {dll, dll.substr(0, dll.size() / 3), dll.substr(0, pe + 30), outside, overwritten}) {
        put_file(path, bytes);
        for (long error : {126L, 127L}) {
            char line[1024] = "untouched";
            EXPECT_FALSE(describe_missing_import(path.c_str(), error, line, sizeof line)) << bytes.size() << " " << line;
            EXPECT_STREQ(line, "untouched");
        }
    }

    // A packed DLL under the name of one the library imports that lacks its
    // functions (version.dll's exports under kernel32's imports' names): for
    // 127 the first function not found is named, with the DLL and the importer.
    put_file(path, dll);
    const std::wstring fakes[] = {folder + L"\\kernelbase.dll", folder + L"\\ntdll.dll"};
    for (const std::wstring &fake : fakes) put_file(fake, file_bytes(std::wstring(system) + L"\\version.dll"));
    char line[1024] = "";
    ASSERT_TRUE(describe_missing_import(path.c_str(), 127, line, sizeof line));
    const std::string named = line;
    EXPECT_EQ(named.rfind("Not found: '", 0), 0u) << named;
    EXPECT_NE(named.find("' in '"), std::string::npos) << named;
    const std::string importer = "', imported by 'app.dll'.\n";
    EXPECT_EQ(named.substr(named.size() - importer.size()), importer) << named;
    for (const std::wstring &fake : fakes) DeleteFileW(fake.c_str());
    DeleteFileW(path.c_str());
    RemoveDirectoryW(folder.c_str());
}
