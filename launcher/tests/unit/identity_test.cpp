// Canonical executable paths: final-path resolution and its prefix rules,
// the short form of the folders, and the own-path caches.
#include <gtest/gtest.h>

#include <string>

#include "paths/identity.h"
#include "tests/support/files.h"
#include "launcher/tests/support/seam.h"

namespace {

const wchar_t *final_answer;
HANDLE opened = reinterpret_cast<HANDLE>(0x5150);

HANDLE WINAPI opens(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) { return opened; }
BOOL WINAPI closes(HANDLE handle) { return handle == opened; }
DWORD WINAPI fake_final_path(HANDLE, LPWSTR buffer, DWORD capacity, DWORD) {
    if (final_answer == nullptr) return 0;
    DWORD length = static_cast<DWORD>(wcslen(final_answer));
    if (length >= capacity) return length + 1;
    wcscpy(buffer, final_answer);
    return length;
}
FARPROC WINAPI final_path_lookup(HMODULE, LPCSTR name) {
    EXPECT_STREQ(name, "GetFinalPathNameByHandleW");
    return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(fake_final_path));
}
FARPROC WINAPI no_final_path(HMODULE, LPCSTR) { return nullptr; }

// Short names: each folder name of more than eight units becomes its first
// six upper-cased units and "~1"; a folder named "missing" does not exist.
std::wstring shorten(const std::wstring &path) {
    if (path.find(L"missing") != std::wstring::npos) return L"";
    std::wstring out, part;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == L'\\') {
            if (part.size() > 8) {
                part = part.substr(0, 6) + L"~1";
                for (wchar_t &c : part) c = towupper(c);
            }
            out += part;
            if (i < path.size()) out += L'\\';
            part.clear();
        } else {
            part += path[i];
        }
    }
    return out;
}
int short_calls;
DWORD growth;
DWORD WINAPI fake_short(LPCWSTR path, LPWSTR buffer, DWORD capacity) {
    ++short_calls;
    std::wstring answer = shorten(path);
    if (answer.empty()) return 0;
    DWORD needed = static_cast<DWORD>(answer.size()) + 1 + (buffer != nullptr ? growth : 0);
    if (capacity < needed) return needed;
    wcscpy(buffer, answer.c_str());
    return static_cast<DWORD>(answer.size());
}

class IdentityTest : public SeamTest {
protected:
    void SetUp() override {
        short_calls = 0;
        growth = 0;
        final_answer = nullptr;
    }
    std::wstring resolve(const std::wstring &path, size_t capacity = 4097) {
        std::wstring buffer(capacity, L'\0');
        wcscpy(buffer.data(), path.c_str());
        Outcome outcome = capture([&] { resolve_final_path(buffer.data(), buffer.data(), capacity, true); });
        return outcome.ending == Ending::aborted ? L"<abort>" : buffer.c_str();
    }
    std::wstring short_form(const std::wstring &path) {
        std::wstring buffer(4097, L'\0');
        wcscpy(buffer.data(), path.c_str());
        Outcome outcome = capture([&] { to_short_path_form(buffer.data(), 4097); });
        return outcome.ending == Ending::aborted ? L"<abort>" : buffer.c_str();
    }
};

TEST_F(IdentityTest, ResolveFalseIsAnExactCopy) {
    wchar_t destination[32] = L"untouched";
    resolve_final_path(destination, L"\\\\?\\C:\\x\\tool.exe", 32, false);
    EXPECT_STREQ(destination, L"\\\\?\\C:\\x\\tool.exe");
    resolve_final_path(destination, destination, 32, false);
    EXPECT_STREQ(destination, L"\\\\?\\C:\\x\\tool.exe");
}

TEST_F(IdentityTest, PrefixRulesOnTheSystemsFinalPath) {
    sys.CreateFileW = opens;
    sys.CloseHandle = closes;
    sys.GetProcAddress = final_path_lookup;
    final_answer = L"\\\\?\\C:\\Apps\\tool.exe";
    EXPECT_EQ(resolve(L"C:\\link\\tool.exe"), L"C:\\Apps\\tool.exe");
    final_answer = L"\\\\?\\UNC\\server\\share\\tool.exe";
    EXPECT_EQ(resolve(L"X:\\tool.exe"), L"\\\\server\\share\\tool.exe");
    final_answer = L"\\\\?\\Volume{1234}\\tool.exe";  // no drive letter: the prefix stays
    EXPECT_EQ(resolve(L"X:\\tool.exe"), L"\\\\?\\Volume{1234}\\tool.exe");
    // A final path that does not fit the destination ends the process.
    final_answer = L"\\\\?\\C:\\a-rather-long-folder\\tool.exe";
    EXPECT_EQ(resolve(L"C:\\t.exe", 16), L"<abort>");
}

TEST_F(IdentityTest, OpensButNoFinalPathStillLosesItsPrefix) {
    sys.CreateFileW = opens;
    sys.CloseHandle = closes;
    sys.GetProcAddress = final_path_lookup;
    final_answer = nullptr;
    EXPECT_EQ(resolve(L"\\\\?\\C:\\x\\tool.exe"), L"C:\\x\\tool.exe");
    sys.GetProcAddress = no_final_path;
    EXPECT_EQ(resolve(L"\\\\?\\C:\\x\\tool.exe"), L"C:\\x\\tool.exe");
}

TEST_F(IdentityTest, MissingFileKeepsItsPrefix) {
    EXPECT_EQ(resolve(L"\\\\?\\C:\\does-not-exist\\tool.exe"), L"\\\\?\\C:\\does-not-exist\\tool.exe");
}

// Wine resolves a host symbolic link on the way to a file; the build makes
// links/through -> links/real beside the test data.
TEST_F(IdentityTest, SymbolicLinkResolvesToItsTarget) {
    std::wstring through = widen(test_data("links/through/file.txt"));
    std::wstring real = widen(test_data("links/real/file.txt"));
    EXPECT_EQ(resolve(through), real);
}

TEST_F(IdentityTest, ShortFormKeepsTheLastComponent) {
    sys.GetShortPathNameW = fake_short;
    EXPECT_EQ(short_form(L"C:\\Long Folder Name\\App Name.exe"), L"C:\\LONG F~1\\App Name.exe");
    EXPECT_EQ(short_form(L"C:\\Long Folder Name\\"), L"C:\\LONG F~1\\");
    EXPECT_EQ(short_form(L"C:\\missing folder\\App Name.exe"), L"C:\\missing folder\\App Name.exe");
    EXPECT_EQ(short_form(L"Long Folder Name"), L"LONG F~1");
    growth = 1;  // the name grew between the size query and the conversion
    EXPECT_EQ(short_form(L"C:\\Long Folder Name\\x"), L"<abort>");
    sys.GetShortPathNameW = [](LPCWSTR, LPWSTR buffer, DWORD) -> DWORD { return buffer == nullptr ? 40 : 0; };
    EXPECT_EQ(short_form(L"C:\\Long Folder Name\\x"), L"C:\\Long Folder Name\\x");
}

TEST_F(IdentityTest, OwnPathsAreComputedOnceAndThePlainFormStaysLong) {
    static int module_calls;
    module_calls = 0;
    sys.GetModuleFileNameW = [](HMODULE, LPWSTR buffer, DWORD) -> DWORD {
        ++module_calls;
        wcscpy(buffer, L"C:\\Long Folder Name\\tool.exe");
        return 28;
    };
    sys.GetShortPathNameW = fake_short;
    forget_own_executable_paths();
    const wchar_t *canonical = own_executable_path(true);
    EXPECT_STREQ(canonical, L"C:\\LONG F~1\\tool.exe");
    const wchar_t *plain = own_executable_path(false);
    EXPECT_STREQ(plain, L"C:\\Long Folder Name\\tool.exe");
    EXPECT_EQ(own_executable_path(true), canonical);
    EXPECT_EQ(own_executable_path(false), plain);
    EXPECT_EQ(module_calls, 2);
    forget_own_executable_paths();
}

}  // namespace
