// Directory creation with its cache, the absolute target, and the entry loop
// over real payloads with the file calls observed through the table.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "unpack/extract.h"
#include "unpack/report.h"
#include "unpack/state.h"
#include "payload/reader.h"
#include "system/native_values.h"
#include "launcher/tests/support/fake_files.h"
#include "tests/support/files.h"
#include "launcher/tests/support/seam.h"

namespace {

HRESULT WINAPI fake_profile(HWND, int, HANDLE, DWORD, LPWSTR path) {
    wcscpy(path, L"C:\\Users\\u");
    return S_OK;
}

// The fake file system's records, under the names these tests use.
std::vector<std::wstring> &created = fake_files.created;
std::map<std::wstring, std::string> &files = fake_files.files;
std::vector<DWORD> &writes = fake_files.writes;

class ExtractTest : public SeamTest {
protected:
    void SetUp() override {
        install_fake_files({L"C:\\Users\\u"});
        fake_files.set_error = [](DWORD code) { SetLastError(code); };
        fake_files.on_open = [](const wchar_t *, DWORD, DWORD disposition, size_t) {
            EXPECT_TRUE(disposition == kFileCreateNew || disposition == kFileOpenExisting) << disposition;
        };
        fake_files.complain = [](const char *what) { ADD_FAILURE() << what; };
        fake_files.on_write = nullptr;
        reset_launcher_state();
        sys.SHGetFolderPathW = fake_profile;
    }
    Outcome extract(const char *payload_name, const wchar_t *target = L"C:\\t\\run") {
        payload = read_file(test_data(payload_name));
        // A run that failed ended its process, which closed its file.
        fake_files.open_name.clear();
        wcscpy(launcher_state.target_directory, target);
        put_fake_folder(target);  // made, or found the user's alone, before the loop
        return capture([&] {
            PayloadStatus opened = open_payload_at(reinterpret_cast<const unsigned char *>(payload.data()), payload.size());
            if (opened != PayloadStatus::ok) report_payload_failure(opened);
            EntryLoopResult loop = extract_payload(false);
            if (loop.ending != EntryLoopEnding::end_record) report_entry_loop_failure(loop);
            close_payload();
        });
    }
    std::string payload;
};

TEST_F(ExtractTest, NestedNamesCreateEveryLevelOnceAndDrivesNeverReachTheSystem) {
    EXPECT_TRUE(create_parent_directories(L"C:\\a\\b\\c\\file"));
    EXPECT_EQ(created, (std::vector<std::wstring>{L"C:\\a\\b\\c", L"C:\\a\\b", L"C:\\a", L"C:\\a\\b", L"C:\\a\\b\\c"}));
    created.clear();
    EXPECT_TRUE(create_parent_directories(L"C:\\a\\b\\c\\other"));
    EXPECT_TRUE(create_parent_directories(L"C:\\Users\\u\\x"));  // the profile folder is known from the start
    EXPECT_TRUE(create_parent_directories(L"C:\\top"));
    EXPECT_TRUE(create_parent_directories(L"name-without-folder"));
    EXPECT_TRUE(create_parent_directories(L"\\rooted"));
    EXPECT_TRUE(created.empty());
}

TEST_F(ExtractTest, ExistingDirectoryCountsAsCreatedAndOtherFailuresDoNot) {
    fake_files.folders.insert(L"C:\\OLD");
    EXPECT_TRUE(create_directory_cached(L"C:\\old"));
    EXPECT_TRUE(create_directory_cached(L"C:\\old"));
    EXPECT_EQ(created.size(), 1u);
    EXPECT_FALSE(create_directory_cached(L"C:\\missing\\deeper"));
    EXPECT_FALSE(create_directory_cached(L"C:\\missing\\deeper"));
    EXPECT_EQ(created.size(), 3u);  // failures are not remembered
}

TEST_F(ExtractTest, CacheHoldsTheProfileAnd1023Directories) {
    for (int i = 0; i < 1023; ++i) create_directory_cached((L"C:\\d" + std::to_wstring(i)).c_str());
    EXPECT_EQ(created_directory_count(), 1024);
    create_directory_cached(L"C:\\d0");  // remembered: no system call
    EXPECT_EQ(created.size(), 1023u);
    create_directory_cached(L"C:\\beyond");
    create_directory_cached(L"C:\\beyond");  // not remembered: asked again, found existing
    EXPECT_EQ(created.size(), 1025u);
    EXPECT_EQ(created_directory_count(), 1024);
}

TEST_F(ExtractTest, HomeThatCannotBeExpandedAborts) {
    sys.SHGetFolderPathW = [](HWND, int, HANDLE, DWORD, LPWSTR) -> HRESULT { return E_FAIL; };
    Outcome outcome = capture([] { create_directory_cached(L"C:\\x"); });
    EXPECT_EQ(outcome.ending, Ending::aborted);
    EXPECT_EQ(outcome.standard_error, "Error, couldn't runtime expand spec '{HOME}'.\n");
}

TEST_F(ExtractTest, AbsolutePathAtItsBound) {
    std::wstring path = L"C:\\" + std::wstring(4092, L'p');  // 4095 units
    wcscpy(launcher_state.target_directory, path.c_str());
    EXPECT_EQ(capture([] { make_absolute_path(); }).ending, Ending::returned);
    EXPECT_EQ(std::wstring(launcher_state.target_directory), path);
    path += L"q";
    wcscpy(launcher_state.target_directory, path.c_str());
    EXPECT_EQ(capture([] { make_absolute_path(); }).ending, Ending::aborted);
    sys.GetFullPathNameW = [](LPCWSTR, DWORD, LPWSTR, LPWSTR *) -> DWORD { return 0; };
    EXPECT_EQ(capture([] { make_absolute_path(); }).ending, Ending::aborted);
}

TEST_F(ExtractTest, DataIsWrittenInChunksOf32768) {
    ASSERT_EQ(extract("chunks.payload").ending, Ending::returned);
    EXPECT_EQ(writes, (std::vector<DWORD>{32768, 32768, 1}));  // the empty file gets no write
    EXPECT_EQ(files[L"C:\\t\\run\\empty"], "");
    EXPECT_EQ(files[L"C:\\t\\run\\d\\exact"], std::string(32768, 'x'));
    EXPECT_EQ(files[L"C:\\t\\run\\d\\e\\over"], std::string(32769, 'y'));
    EXPECT_STREQ(launcher_state.first_entry_path, L"C:\\t\\run\\empty");
}

// Another thread (the progress window) reads the bytes written and may ask
// the loop to stop: it stops before its next write, its open file closed so
// that the clean-up can remove it, and reports no failure of its own.
TEST_F(ExtractTest, CountsTheBytesWrittenAndStopsWhenCancelled) {
    ASSERT_EQ(extract("chunks.payload").ending, Ending::returned);
    EXPECT_EQ(launcher_state.unpacked_bytes, 32768u + 32769u);
    reset_launcher_state();
    install_fake_files({L"C:\\Users\\u", L"C:\\t\\run"});
    fake_files.on_write = [](size_t, const void *, DWORD, uint64_t) { launcher_state.stop_requested = true; };
    payload = read_file(test_data("chunks.payload"));
    wcscpy(launcher_state.target_directory, L"C:\\t\\run");
    ASSERT_EQ(open_payload_at(reinterpret_cast<const unsigned char *>(payload.data()), payload.size()), PayloadStatus::ok);
    EXPECT_EQ(extract_payload(false).ending, EntryLoopEnding::stopped);
    close_payload();
    EXPECT_EQ(writes, std::vector<DWORD>{32768});
    EXPECT_EQ(launcher_state.unpacked_bytes, 32768u);
    EXPECT_EQ(fake_files.open_name, L"");
    // Cancelled before the first entry: not a file is made.
    reset_launcher_state();
    install_fake_files({L"C:\\Users\\u", L"C:\\t\\run"});
    launcher_state.stop_requested = true;
    wcscpy(launcher_state.target_directory, L"C:\\t\\run");
    ASSERT_EQ(open_payload_at(reinterpret_cast<const unsigned char *>(payload.data()), payload.size()), PayloadStatus::ok);
    EXPECT_EQ(extract_payload(false).ending, EntryLoopEnding::stopped);
    close_payload();
    EXPECT_EQ(fake_files.files_opened, 0u);
}

TEST_F(ExtractTest, NamesAtTheirBound) {
    ASSERT_EQ(extract("name1023.payload").ending, Ending::returned);
    EXPECT_EQ(files.size(), 1u);
    Outcome outcome = extract("name1024.payload");
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.standard_output, "Error, couldn't decode attached data.\n");
}

TEST_F(ExtractTest, EntryPathOf4095UnitsFitsAnd4096Aborts) {
    std::wstring target = L"C:\\" + std::wstring(4093 - 3, L't');  // + "\f" = 4095 units
    EXPECT_EQ(extract("one_file.payload", target.c_str()).ending, Ending::returned);
    target += L"t";
    EXPECT_EQ(extract("one_file.payload", target.c_str()).ending, Ending::aborted);
}

TEST_F(ExtractTest, NamesReachingOutsideTheTargetOrRefusedByThePackerAreDamage) {
    for (int i = 0; i < 18; ++i) {
        std::string name = "unsafe" + std::to_string(i) + ".payload";
        Outcome outcome = extract(name.c_str());
        EXPECT_EQ(outcome.exit_code, 2) << name;
        EXPECT_EQ(outcome.standard_output, "Error, couldn't decode attached data.\n") << name;
        // Only the harmless first entry was written.
        EXPECT_EQ(files.size(), 1u) << name;
        EXPECT_EQ(files.count(L"C:\\t\\run\\fine.txt"), 1u) << name;
    }
    // Dots and spaces inside a name are ordinary characters.
    EXPECT_EQ(extract("dotted.payload").ending, Ending::returned);
    EXPECT_EQ(files.count(L"C:\\t\\run\\.config\\a..b\\x. y"), 1u);
}

TEST_F(ExtractTest, OnlyTheEndRecordWritesNothing) {
    ASSERT_EQ(extract("only_end.payload").ending, Ending::returned);
    EXPECT_TRUE(files.empty());
    EXPECT_EQ(launcher_state.first_entry_path[0], 0);
}

TEST_F(ExtractTest, FailedAndShortWritesAreReported) {
    sys.WriteFile = [](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) -> BOOL {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    };
    Outcome outcome = extract("one_file.payload");
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.standard_error.rfind("Error, couldn't unpack file to target path. ([Error 112] ", 0), 0u)
        << outcome.standard_error;
    // A write that succeeds writing nothing gives no reason: the last error
    // still holds what CREATE_ALWAYS left (183), which is not the cause.
    sys.WriteFile = [](HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) -> BOOL {
        SetLastError(ERROR_ALREADY_EXISTS);
        *written = 0;
        return TRUE;
    };
    outcome = extract("one_file.payload");
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.standard_error.rfind("Error, couldn't unpack file to target path. ([Error 29] ", 0), 0u)
        << outcome.standard_error;
}

TEST_F(ExtractTest, FileThatCannotBeCreatedIsNamed) {
    sys.NtCreateFile = [](PHANDLE, DWORD, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                          ULONG, PVOID, ULONG) { return kStatusAccessDenied; };
    Outcome outcome = extract("one_file.payload");
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_EQ(outcome.standard_error, "Error, failed to open 'C:\\t\\run\\f' for writing.\n");
}

// Folders are made through their parent's handle, each once while entries
// share it, and closed when the loop ends. What is there already is opened
// itself: a plain file is emptied and written, while a link (one swapped in
// after the folder was checked, say), a hard link, or a folder where a file
// is wanted or the other way ends the run before anything is written
// through it.
TEST_F(ExtractTest, EntriesAreWrittenThroughTheirFoldersHandlesNeverThroughALink) {
    ASSERT_EQ(extract("chunks.payload").ending, Ending::returned);
    EXPECT_EQ(created, (std::vector<std::wstring>{L"C:\\t\\run\\d", L"C:\\t\\run\\d\\e"}));
    EXPECT_EQ(open_fake_folders(), 0u);
    put_fake_file(L"C:\\t\\run\\d\\exact", std::string(40000, 'z'));
    ASSERT_EQ(extract("chunks.payload").ending, Ending::returned);
    EXPECT_EQ(files[L"C:\\t\\run\\d\\exact"], std::string(32768, 'x'));
    const std::function<void()> preparations[] = {
        [] { fake_files.links.insert(L"C:\\T\\RUN\\D"); },
        [] { fake_files.links.insert(L"C:\\T\\RUN"); },
        [] { fake_files.hard_linked.insert(L"C:\\T\\RUN\\D\\E\\OVER"); },
        [] { put_fake_file(L"C:\\t\\run\\d", "a file where a folder is wanted"); },
        [] { put_fake_folder(L"C:\\t\\run\\empty"); },
    };
    for (const std::function<void()> &prepare : preparations) {
        install_fake_files({L"C:\\Users\\u", L"C:\\t\\run\\d\\e"});
        put_fake_folder(L"C:\\t\\run\\d");
        put_fake_file(L"C:\\t\\run\\d\\e\\over", "kept");
        prepare();
        Outcome outcome = extract("chunks.payload");
        EXPECT_EQ(outcome.exit_code, 2);
        EXPECT_EQ(outcome.standard_error, "Error, target folder 'C:\\t\\run' is there already and not the user's alone.\n");
        EXPECT_EQ(files[L"C:\\t\\run\\d\\e\\over"], "kept");
    }
    // In a folder this run made, a file where a folder is wanted is the
    // payload's own clash: the entry cannot be written.
    install_fake_files({L"C:\\Users\\u"});
    put_fake_file(L"C:\\t\\run\\d", "written by an entry before");
    launcher_state.target_folder_made = true;
    EXPECT_EQ(extract("chunks.payload").standard_error, "Error, failed to open 'C:\\t\\run\\d\\exact' for writing.\n");
}

}  // namespace
