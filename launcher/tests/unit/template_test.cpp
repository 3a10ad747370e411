// The template engine: references, the environment cache, capacities, and
// the variables that depend on the program name, the build and the clock.
#include <gtest/gtest.h>

#include <string>

#include <userenv.h>

#include "paths/arguments.h"
#include "paths/template.h"
#include "launcher/tests/support/seam.h"

namespace {

wchar_t temp_path[] = L"C:\\Users\\u\\AppData\\Local\\Temp\\";
int64_t fake_time = 133000000001234567;
int temp_calls;

DWORD WINAPI fake_temp(DWORD length, LPWSTR buffer) {
    ++temp_calls;
    DWORD needed = static_cast<DWORD>(wcslen(temp_path));
    if (length <= needed) return needed + 1;
    wcscpy(buffer, temp_path);
    return needed;
}
DWORD WINAPI failing_temp(DWORD, LPWSTR) { return 0; }
void WINAPI fake_clock(LPFILETIME time) {
    time->dwLowDateTime = static_cast<DWORD>(fake_time);
    time->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(fake_time) >> 32);
}
HRESULT WINAPI fake_folder(HWND, int csidl, HANDLE, DWORD, LPWSTR path) {
    wcscpy(path, csidl == CSIDL_PROFILE ? L"C:\\Users\\u\\" : L"C:\\Users\\u\\AppData\\Local");
    return S_OK;
}
HRESULT WINAPI failing_folder(HWND, int, HANDLE, DWORD, LPWSTR) { return E_FAIL; }
DWORD WINAPI pid_4242() { return 4242; }

class TemplateTest : public SeamTest {
protected:
    void SetUp() override {
        sys.GetTempPathW = fake_temp;
        sys.GetSystemTimeAsFileTime = fake_clock;
        sys.SHGetFolderPathW = fake_folder;
        fake_time = 133000000001234567;
        temp_calls = 0;
        for (const wchar_t *name : {L"TARVEN_ONEFILE_PARENT", L"TARVEN_ONEFILE_TIME_US", L"TARVEN_ONEFILE_RANDOM",
                                    L"TARVEN_ONEFILE_START"})
            set_variable(name, nullptr);
        program = std::wstring(L"C:\\Apps\\tool.exe");
        arguments[0] = program.data();
        process_arguments = {1, arguments};
    }
    // Expands into a buffer of `capacity`; an abort shows as "<abort>".
    std::wstring expand(const wchar_t *text, size_t capacity = 4096, bool *result = nullptr) {
        std::wstring output(capacity + 8, L'#');
        bool ok = false;
        Outcome outcome = capture([&] { ok = expand_path_template(output.data(), text, capacity); });
        if (outcome.ending == Ending::aborted) return L"<abort>";
        if (result != nullptr) *result = ok;
        else if (!ok) return L"<false>";
        return output.c_str();
    }
    std::wstring program;
    wchar_t *arguments[2] = {};
};

TEST_F(TemplateTest, LiteralsReferencesAndCase) {
    EXPECT_EQ(expand(L""), L"");
    EXPECT_EQ(expand(L"plain\\text"), L"plain\\text");
    EXPECT_EQ(expand(L"{temp}"), expand(L"{TEMP}"));
    EXPECT_EQ(expand(L"{Temp}\\x"), L"C:\\Users\\u\\AppData\\Local\\Temp\\x");
    EXPECT_EQ(expand(L"{}"), L"<false>");
    EXPECT_EQ(expand(L"{NOPE}"), L"<false>");
    EXPECT_EQ(expand(L"abc{TEMP"), L"abc");
    set_variable(L"TARVEN_ONEFILE_PARENT", L"77");
    EXPECT_EQ(expand(L"{X{PID}"), L"77");
    // A '}' that closes nothing, and a name longer than 1023 units, are refused.
    EXPECT_EQ(expand(L"a}b"), L"<false>");
    std::wstring long_name = L"{" + std::wstring(1024, L'A') + L"}";
    EXPECT_EQ(expand(long_name.c_str()), L"<false>");
    std::wstring longest_name = L"{" + std::wstring(1023, L'A') + L"}";
    EXPECT_EQ(expand(longest_name.c_str()), L"<false>");  // unknown, but not too long: same answer
}

TEST_F(TemplateTest, TargetTemplateFromTheEnvironmentCacheWritesNothing) {
    set_variable(L"TARVEN_ONEFILE_PARENT", L"4242");
    set_variable(L"TARVEN_ONEFILE_TIME_US", L"012345");
    set_variable(L"TARVEN_ONEFILE_RANDOM", L"IQHFT9HQGrI");
    int writes = 0;
    static int *write_count;
    write_count = &writes;
    sys.SetEnvironmentVariableW = [](LPCWSTR, LPCWSTR) -> BOOL {
        ++*write_count;
        return TRUE;
    };
    EXPECT_EQ(expand(L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"),
              L"C:\\Users\\u\\AppData\\Local\\Temp\\onefile_4242_012345_IQHFT9HQGrI");
    EXPECT_EQ(writes, 0);
}

TEST_F(TemplateTest, StripRemovesTrailingBackslashesOfTheWholeText) {
    EXPECT_EQ(expand(L"x\\\\{HOME}"), L"x\\\\C:\\Users\\u");
    EXPECT_EQ(expand(L"\\\\{CACHE_DIR}"), L"\\\\C:\\Users\\u\\AppData\\Local");
    wcscpy(temp_path, L"\\\\\\");
    EXPECT_EQ(expand(L"{TEMP}"), L"");  // never past the start of the output
    wcscpy(temp_path, L"C:\\Users\\u\\AppData\\Local\\Temp\\");
}

TEST_F(TemplateTest, TempThatYieldsNothingFails) {
    sys.GetTempPathW = failing_temp;
    EXPECT_EQ(expand(L"{TEMP}\\onefile"), L"<false>");
    sys.GetTempPathW = fake_temp;
    // 30 units of path plus its terminator need a room of 31: one less fails.
    EXPECT_EQ(expand(L"{TEMP}", 30), L"<false>");
    EXPECT_EQ(expand(L"{TEMP}", 31), L"C:\\Users\\u\\AppData\\Local\\Temp");
}

TEST_F(TemplateTest, CapacityEdge) {
    bool ok = true;
    EXPECT_EQ(expand(L"abcdefghi", 10, &ok), L"abcdefghi");
    EXPECT_TRUE(ok);
    EXPECT_EQ(expand(L"abcdefghij", 10, &ok), L"abcdefghi");
    EXPECT_FALSE(ok);
    set_variable(L"TARVEN_ONEFILE_PARENT", L"123");
    EXPECT_EQ(expand(L"abcdef{PID}", 10, &ok), L"abcdef123");
    EXPECT_TRUE(ok);
    EXPECT_EQ(expand(L"abcdefg{PID}", 10), L"<abort>");
}

TEST_F(TemplateTest, PidFromTheParentVariable) {
    sys.GetCurrentProcessId = pid_4242;
    EXPECT_EQ(expand(L"{PID}"), L"4242");
    set_variable(L"TARVEN_ONEFILE_PARENT", L"");
    EXPECT_EQ(expand(L"{PID}"), L"4242");
    set_variable(L"TARVEN_ONEFILE_PARENT", L"00123");
    EXPECT_EQ(expand(L"{PID}"), L"00123");
    set_variable(L"TARVEN_ONEFILE_PARENT", L"\x00B2\x0661");  // superscript two, Arabic-Indic one
    EXPECT_EQ(expand(L"{PID}"), L"\x00B2\x0661");
    set_variable(L"TARVEN_ONEFILE_PARENT", L"12a");
    EXPECT_EQ(expand(L"{PID}"), L"<abort>");
    set_variable(L"TARVEN_ONEFILE_PARENT", L"-1");
    EXPECT_EQ(expand(L"{PID}"), L"<abort>");
}

TEST_F(TemplateTest, TimeUsAndRandomAreComputedOnceAndCached) {
    EXPECT_EQ(expand(L"{TIME_US}"), L"123456");
    EXPECT_EQ(variable(L"TARVEN_ONEFILE_TIME_US"), L"123456");
    fake_time = 9;
    EXPECT_EQ(expand(L"{TIME_US}"), L"123456");
    set_variable(L"TARVEN_ONEFILE_TIME_US", nullptr);
    EXPECT_EQ(expand(L"{TIME_US}"), L"000000");

    std::wstring first = expand(L"{RANDOM}");
    ASSERT_EQ(first.size(), 11u);
    EXPECT_EQ(first.find_first_not_of(L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::wstring::npos);
    EXPECT_EQ(variable(L"TARVEN_ONEFILE_RANDOM"), first);
    EXPECT_EQ(expand(L"{RANDOM}-{random}"), first + L"-" + first);
}

TEST_F(TemplateTest, RandomGeneratorVectors) {
    wchar_t text[12];
    random_text_from_seed(1, text);
    EXPECT_STREQ(text, L"IQHFT9HQGrI");
    random_text_from_seed(0, text);
    EXPECT_STREQ(text, L"IQHFT9HQGrI");
    random_text_from_seed(0xFFFFFFFF, text);
    EXPECT_EQ(wcslen(text), 11u);
    EXPECT_STRNE(text, L"IQHFT9HQGrI");
}

TEST_F(TemplateTest, ProgramVariables) {
    EXPECT_EQ(expand(L"{PROGRAM}"), L"C:\\Apps\\tool.exe");
    EXPECT_EQ(expand(L"{PROGRAM_BASE}"), L"C:\\Apps\\tool");
    EXPECT_EQ(expand(L"{PROGRAM_DIR}"), L"C:\\Apps");
    EXPECT_EQ(expand(L"{PROGRAM_DIR}\\data"), L"C:\\Apps\\data");
    EXPECT_EQ(expand(L"[{PROGRAM_BASE}]"), L"[C:\\Apps\\tool]");
    program = L"tool.EXE";
    arguments[0] = program.data();
    EXPECT_EQ(expand(L"{PROGRAM_BASE}"), L"tool");
    EXPECT_EQ(expand(L"{PROGRAM_DIR}"), L"tool.EXE");
    program = L"C:\\Apps\\tool";
    arguments[0] = program.data();
    EXPECT_EQ(expand(L"{PROGRAM_BASE}"), L"C:\\Apps\\tool");
    program = L".exe";
    arguments[0] = program.data();
    EXPECT_EQ(expand(L"<{PROGRAM_BASE}>"), L"<>");
    program = L"exe";
    arguments[0] = program.data();
    EXPECT_EQ(expand(L"{PROGRAM_BASE}"), L"exe");
    process_arguments = {0, nullptr};
    EXPECT_EQ(expand(L"{PROGRAM}"), L"<abort>");
}

TEST_F(TemplateTest, BuildTextsAndStartTime) {
    EXPECT_EQ(expand(L"{COMPANY}|{PRODUCT}"), L"Tarven Test Company|Tarven Test Product");
    EXPECT_EQ(expand(L"{VERSION}|{FILE_VERSION}|{PRODUCT_VERSION}"), L"1.2.3.4|1.2.3.4|1.2.3.4");
    EXPECT_EQ(expand(L"{TIME}"), L"133000000001234567");
    EXPECT_EQ(variable(L"TARVEN_ONEFILE_START"), L"133000000001234567");
    fake_time = 5;
    EXPECT_EQ(expand(L"{TIME}"), L"133000000001234567");
}

TEST_F(TemplateTest, FoldersTheSystemCannotGiveFail) {
    sys.SHGetFolderPathW = failing_folder;
    EXPECT_EQ(expand(L"{HOME}"), L"<false>");
    EXPECT_EQ(expand(L"{CACHE_DIR}\\x"), L"<false>");
}

}  // namespace

namespace {

// {HOME}'s folder comes from the system's profile list through ntdll rather
// than from the shell (which loads user32, gdi32 and ole32 with it) or the
// profile library (advapi32, sechost and ucrtbase): the very folder both
// give, and for any other folder the shell still answers.
TEST(ShellFolders, ProfileFolderIsTheShellsOwn) {
    wchar_t ours[MAX_PATH] = {}, shells[MAX_PATH] = {}, profiles[MAX_PATH] = {};
    bool profiles_loaded = GetModuleHandleW(L"userenv.dll") != nullptr;
    ASSERT_EQ(real_sys.SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, ours), S_OK);
    EXPECT_EQ(GetModuleHandleW(L"userenv.dll") != nullptr, profiles_loaded);
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, shells), S_OK);
    EXPECT_STREQ(ours, shells);
    DWORD size = MAX_PATH;
    ASSERT_TRUE(GetUserProfileDirectoryW(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-4)), profiles, &size));
    EXPECT_STREQ(ours, profiles);
    ASSERT_EQ(real_sys.SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, ours), S_OK);
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, shells), S_OK);
    EXPECT_STREQ(ours, shells);
}

}  // namespace
