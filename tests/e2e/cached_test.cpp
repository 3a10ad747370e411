// The cached mode (packed with --cache) under Wine: unpacked once into
// TEMP\cached\<payload id>, reused, repaired, published whole by one of many
// first starts, cleaned after a kill, older ids pruned, links not followed;
// a nested tree checked through all its folders.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/launch.h"
#include "tests/support/files.h"
#include "tests/support/wine_starts.h"

namespace {

// A test's own TEMP: the cache folder's parent is `<temp>\cached`.
struct CacheRoom {
    std::wstring temp = scratch_folder(L"cached");
    std::wstring product = temp + L"\\cached";

    // `exe`: a packed executable's name, or the full path of a copy.
    static std::wstring path_of(const std::wstring &exe) {
        return exe.find(L'\\') == std::wstring::npos ? packed(exe) : exe;
    }
    Finished run(const std::wstring &exe, const std::wstring &arguments) const {
        return run_program(path_of(exe), L"\"" + path_of(exe) + L"\" " + arguments, {{L"TEMP", temp}, {L"TMP", temp}});
    }
    HANDLE start(const std::wstring &exe, const std::wstring &arguments) const {
        std::wstring line = L"\"" + path_of(exe) + L"\" " + arguments;
        std::wstring block = environment_block({{L"TEMP", temp}, {L"TMP", temp}});
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        // Seen here about one run in six beside two other tests.
        BOOL created = create_process_despite_wine([&] {
            return CreateProcessW(path_of(exe).c_str(), line.data(), nullptr, nullptr, FALSE,
                                  CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &startup, &process);
        });
        EXPECT_TRUE(created) << "error " << GetLastError();
        CloseHandle(process.hThread);
        return process.hProcess;
    }
    // The names beside the cache folders: published ids and any leftovers.
    std::vector<std::wstring> names() const { return list_folder(product); }
    // A copy of a packed executable at `<temp>\<folder>\tool.exe`.
    std::wstring install(const std::wstring &exe, const std::wstring &folder) const {
        std::wstring path = temp + L"\\" + folder;
        CreateDirectoryW(path.c_str(), nullptr);
        path += L"\\tool.exe";
        EXPECT_TRUE(CopyFileW(packed(exe).c_str(), path.c_str(), FALSE)) << narrow(path);
        return path;
    }
    // The published folders (of any id) that are not in `known`.
    std::wstring published_other_than(const std::vector<std::wstring> &known) const {
        for (const std::wstring &name : names()) {
            std::wstring folder = product + L"\\" + name;
            if (name.size() == 16 && std::find(known.begin(), known.end(), folder) == known.end()) return folder;
        }
        return L"";
    }
    std::wstring published() const {
        for (const std::wstring &name : names())
            if (name.size() == 16 && name.find(L'.') == std::wstring::npos) return product + L"\\" + name;
        return L"";
    }
};

// Last-write times of every file below `folder`, by relative name.
std::map<std::wstring, ULONGLONG> write_times(const std::wstring &folder) {
    std::map<std::wstring, ULONGLONG> times;
    for (const auto &[name, bytes] : read_tree(folder)) {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        GetFileAttributesExW((folder + L"\\" + name).c_str(), GetFileExInfoStandard, &data);
        times[name] = (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    }
    return times;
}

DWORD exit_code_of(HANDLE process) {
    WaitForSingleObject(process, 120000);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

TEST(CachedMode, FirstStartUnpacksLaterStartsReuseADamagedFolderIsRepaired) {
    CacheRoom room;
    std::wstring report = room.temp + L"\\report.txt";
    EXPECT_EQ(room.run(L"cached.exe", L"reportexit \"" + report + L"\" 7").exit_code, 7u);
    std::wstring folder = room.published();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(room.names().size(), 1u) << "a temporary folder was left beside the published one";
    auto seen = read_report(report);
    EXPECT_EQ(seen["library"], narrow(folder) + "\\probe.dll");
    EXPECT_EQ(seen["readme"], "data beside the probe");

    // A cached start unpacks nothing; exit codes stay whole in one process.
    auto before = write_times(folder);
    Sleep(20);
    EXPECT_EQ(room.run(L"cached.exe", L"exit 0xC0000135").exit_code, 0xC0000135u);
    EXPECT_EQ(write_times(folder), before) << "a cached start wrote files";

    // Started again by the application: the folder and the hand-off variables are there.
    std::wstring again = room.temp + L"\\again.txt";
    EXPECT_EQ(room.run(L"cached.exe", L"reenter \"" + again + L"\"").exit_code, 0u);
    seen = read_report(again);
    EXPECT_EQ(seen["readme"], "changed by the application") << "the application's own start unpacked again";
    EXPECT_FALSE(seen["TARVEN_ONEFILE_DIRECTORY"].empty());

    // The changed file (another size) and a removed one are noticed and unpacked again.
    DeleteFileW((folder + L"\\holder.exe").c_str());
    EXPECT_EQ(room.run(L"cached.exe", L"reportexit \"" + report + L"\" 0").exit_code, 0u);
    EXPECT_EQ(read_report(report)["readme"], "data beside the probe");
    EXPECT_TRUE(exists(folder + L"\\holder.exe"));
    EXPECT_EQ(room.names().size(), 1u);
}

TEST(CachedMode, EveryFolderOfANestedTreeIsChecked) {
    // Folders four deep, names past MAX_PATH (the check lists through \\?\),
    // non-BMP names: the check's threads share the folders between them.
    CacheRoom room;
    EXPECT_EQ(room.run(L"cached-tree.exe", L"exit 3").exit_code, 3u);
    std::wstring folder = room.published();
    ASSERT_FALSE(folder.empty());
    auto published = read_tree(folder);
    std::wstring longest;
    for (const auto &[name, bytes] : published)
        if (name.size() > longest.size()) longest = name;
    ASSERT_EQ(longest.size(), 1023u);

    // A file the table does not know is allowed: nothing is unpacked again.
    std::wstring long_folder = L"\\\\?\\" + folder;
    make_file(long_folder + L"\\tree\\a\\b\\extra.txt");
    auto before = write_times(folder);
    Sleep(20);
    EXPECT_EQ(room.run(L"cached-tree.exe", L"exit 0").exit_code, 0u);
    EXPECT_EQ(write_times(folder), before) << "a cached start wrote files";

    // The deepest file of another size, and the longest name removed, are noticed.
    make_file(folder + L"\\tree\\a\\b\\c\\d\\deep.txt");
    EXPECT_EQ(room.run(L"cached-tree.exe", L"exit 0").exit_code, 0u);
    EXPECT_EQ(read_tree(folder), published);
    ASSERT_TRUE(DeleteFileW((long_folder + L"\\" + longest).c_str()));
    EXPECT_EQ(room.run(L"cached-tree.exe", L"exit 0").exit_code, 0u);
    EXPECT_EQ(read_tree(folder), published);
    EXPECT_EQ(room.names().size(), 1u);
}

TEST(CachedMode, FiftyFirstStartsPublishOneFolderAndLeaveNothingElse) {
    CacheRoom room;
    std::vector<HANDLE> started;
    for (int i = 0; i < 50; ++i) started.push_back(room.start(L"cached.exe", L"exit " + std::to_wstring(100 + i)));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(exit_code_of(started[i]), static_cast<DWORD>(100 + i)) << "start " << i;
    auto names = room.names();
    ASSERT_EQ(names.size(), 1u) << narrow(names.empty() ? L"" : names.back());
    EXPECT_EQ(read_tree(room.published())[L"data\\readme.txt"], "data beside the probe\n");
}

TEST(CachedMode, KilledFirstStartPublishesNothingAndTheNextStartCleansUp) {
    CacheRoom room;
    // Killed while it unpacks 64 MiB into its temporary sibling.
    bool caught = false;
    for (int attempt = 0; attempt < 10 && !caught; ++attempt) {
        HANDLE process = room.start(L"cached-big.exe", L"exit 0");
        for (int i = 0; i < 5000 && !caught; ++i) {
            for (const std::wstring &name : room.names()) caught = caught || name.find(L".new_") != std::wstring::npos;
            if (!caught) Sleep(1);
            if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) break;
        }
        TerminateProcess(process, 1);
        exit_code_of(process);
        if (!caught) remove_host_tree(room.product);
    }
    ASSERT_TRUE(caught) << "no start was caught while unpacking";
    EXPECT_TRUE(room.published().empty()) << "a killed start published its folder";

    EXPECT_EQ(room.run(L"cached-big.exe", L"exit 4").exit_code, 4u);
    ASSERT_FALSE(room.published().empty());
    EXPECT_EQ(room.names().size(), 1u) << "the killed start's folder is still there";
}

TEST(CachedMode, OnlyOlderVersionsOfTheSameApplicationArePruned) {
    CacheRoom room;
    // Two unrelated applications packed under one name, installed side by side.
    std::wstring a = room.install(L"cached.exe", L"a"), b = room.install(L"cached-big.exe", L"b");
    EXPECT_EQ(room.run(a, L"exit 1").exit_code, 1u);
    std::wstring folder_a = room.published();
    EXPECT_EQ(room.run(b, L"exit 2").exit_code, 2u);
    std::wstring folder_b = room.published_other_than({folder_a});
    ASSERT_FALSE(folder_a.empty());
    ASSERT_FALSE(folder_b.empty()) << "B's start removed A's folder";
    // Someone else's folder named like an id, without a marker.
    std::wstring planted = room.product + L"\\0123456789abcdef";
    CreateDirectoryW(planted.c_str(), nullptr);
    make_file(planted + L"\\keep.dll");
    auto times_a = write_times(folder_a), times_b = write_times(folder_b);
    Sleep(20);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(room.run(a, L"exit 3").exit_code, 3u);
        EXPECT_EQ(room.run(b, L"exit 4").exit_code, 4u);
    }
    EXPECT_EQ(write_times(folder_a), times_a) << "A unpacked again";
    EXPECT_EQ(write_times(folder_b), times_b) << "B unpacked again";

    // A replaced in place by a newer version: A's older folder goes, B's stays.
    ASSERT_TRUE(CopyFileW(packed(L"cached-two.exe").c_str(), a.c_str(), FALSE));
    EXPECT_EQ(room.run(a, L"exit 5").exit_code, 5u);
    EXPECT_FALSE(exists(folder_a)) << "the replaced version's folder is still there";
    EXPECT_TRUE(exists(folder_b + L"\\probe.dll"));
    // B uninstalled: its folder goes at A's next start.
    ASSERT_TRUE(DeleteFileW(b.c_str()));
    EXPECT_EQ(room.run(a, L"exit 6").exit_code, 6u);
    EXPECT_FALSE(exists(folder_b)) << "the removed application's folder is still there";
    EXPECT_TRUE(exists(planted + L"\\keep.dll")) << "a folder without a marker was removed";
    EXPECT_EQ(room.names().size(), 2u) << "A's folder and the planted one";
}

// Writes a publisher marker naming `executable` into `folder` (UTF-16LE, no terminator).
void write_marker(const std::wstring &folder, const std::wstring &executable) {
    HANDLE file = CreateFileW((folder + L"\\.tarven-publisher").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                              nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << narrow(folder);
    DWORD written = 0;
    WriteFile(file, executable.data(), static_cast<DWORD>(executable.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
}

TEST(CachedMode, TwoVersionsStartingTogetherNeverTakeEachOthersFolder) {
    // Each finds the other's folder published by an executable that no longer
    // exists (an installation moved away), so each start tries to claim the
    // other's folder while the other starts from it or runs (its application
    // waits a while before it reads its data). Windows refuses to rename a
    // folder with a loaded library in it but not one between the check and
    // the load; Wine renames either. Both enforce share modes, so what keeps
    // the folders is the handles each start holds on its own.
    CacheRoom room;
    std::wstring one = room.install(L"cached.exe", L"one"), two = room.install(L"cached-two.exe", L"two");
    std::wstring report_one = room.temp + L"\\one.txt", report_two = room.temp + L"\\two.txt";
    for (int round = 0; round < 4; ++round) {
        // Both published (again, when one was taken after its run last round), then marked as a moved one's.
        ASSERT_EQ(room.run(one, L"exit 0").exit_code, 0u);
        ASSERT_EQ(room.run(two, L"exit 0").exit_code, 0u);
        for (const std::wstring &name : room.names())
            if (name.size() == 16) write_marker(room.product + L"\\" + name, L"C:\\moved-away\\tool.exe");
        HANDLE first = room.start(one, L"reportexit \"" + report_one + L"\" 11 " + std::to_wstring(300 * round));
        HANDLE second = room.start(two, L"reportexit \"" + report_two + L"\" 12 " + std::to_wstring(900 - 300 * round));
        EXPECT_EQ(exit_code_of(first), 11u) << "round " << round;
        EXPECT_EQ(exit_code_of(second), 12u) << "round " << round;
        EXPECT_EQ(read_report(report_one)["readme"], "data beside the probe") << "round " << round;
        EXPECT_EQ(read_report(report_two)["readme"], "data beside the probe") << "round " << round;
        DeleteFileW(report_one.c_str());
        DeleteFileW(report_two.c_str());
    }
}

TEST(CachedMode, ASameSizeChangeAndAPlantedLibraryAreRepaired) {
    CacheRoom room;
    std::wstring report = room.temp + L"\\report.txt";
    EXPECT_EQ(room.run(L"cached.exe", L"exit 0").exit_code, 0u);
    std::wstring folder = room.published();
    ASSERT_FALSE(folder.empty());
    // Rewritten with other bytes of the same size, as an application or a cleaner might.
    {
        HANDLE file = CreateFileW((folder + L"\\data\\readme.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                  TRUNCATE_EXISTING, 0, nullptr);
        DWORD written = 0;
        WriteFile(file, "DATA BESIDE THE PROBE\n", 22, &written, nullptr);
        CloseHandle(file);
    }
    EXPECT_EQ(room.run(L"cached.exe", L"reportexit \"" + report + L"\" 0").exit_code, 0u);
    EXPECT_EQ(read_report(report)["readme"], "data beside the probe") << "the same-size change was used";
    EXPECT_EQ(read_report(report)["library"], narrow(folder) + "\\probe.dll");

    // A library planted where the loader looks first, and one beside a packed
    // library below; an extra file of another kind is the application's.
    ASSERT_TRUE(CopyFileW((folder + L"\\probe.dll").c_str(), (folder + L"\\version.dll").c_str(), FALSE));
    make_file(folder + L"\\notes.txt");
    EXPECT_EQ(room.run(L"cached.exe", L"exit 0").exit_code, 0u);
    EXPECT_FALSE(exists(folder + L"\\version.dll")) << "the planted library was left where the loader finds it";
    EXPECT_EQ(room.names().size(), 1u);
    auto before = write_times(folder);
    make_file(folder + L"\\notes.txt");
    make_file(folder + L"\\data\\extra.dll");
    Sleep(20);
    EXPECT_EQ(room.run(L"cached.exe", L"exit 0").exit_code, 0u);
    before[L"notes.txt"] = write_times(folder)[L"notes.txt"];
    before[L"data\\extra.dll"] = write_times(folder)[L"data\\extra.dll"];
    EXPECT_EQ(write_times(folder), before) << "files the check tolerates made it unpack again";
}

TEST(CachedMode, ARelaunchRunsFromTheFolderItsParentRanFrom) {
    CacheRoom room;
    EXPECT_EQ(room.run(L"cached.exe", L"exit 0").exit_code, 0u);
    std::wstring folder = room.published();
    ASSERT_FALSE(folder.empty());
    // One instance runs from the published folder; then a file of it goes, so
    // the next start cannot replace it and runs from its own fresh copy.
    HANDLE running = room.start(L"cached.exe", L"sleep 4000");
    Sleep(1500);
    ASSERT_TRUE(DeleteFileW((folder + L"\\holder.exe").c_str()));
    std::wstring report = room.temp + L"\\again.txt";
    // The application changes its data and starts its own executable again.
    EXPECT_EQ(room.run(L"cached.exe", L"reenter \"" + report + L"\"").exit_code, 0u);
    auto seen = read_report(report);
    EXPECT_EQ(seen["library"].rfind(narrow(folder) + ".new_", 0), 0u) << seen["library"];
    EXPECT_EQ(seen["readme"], "changed by the application") << "the relaunch ran from another folder";
    EXPECT_EQ(exit_code_of(running), 3u);
}

// A packed executable's bytes, with where its slots are and how its
// sections map addresses to file offsets.
struct PackedFile {
    std::string bytes;
    size_t slots = 0;
    struct Section {
        uint32_t rva, size, raw;
    };
    std::vector<Section> sections;

    explicit PackedFile(const std::wstring &path) : bytes(read_file(narrow(path))) {
        size_t header = get32(0x3C) + 4;
        size_t count = get16(header + 2), table = header + 20 + get16(header + 16);
        for (size_t i = 0; i < count; ++i) {
            size_t entry = table + 40 * i;
            sections.push_back({get32(entry + 12), get32(entry + 8), get32(entry + 20)});
            if (bytes.compare(entry, 8, std::string(".tarven\0", 8)) == 0) slots = get32(entry + 20);
        }
    }
    uint32_t get16(size_t at) const {
        return static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
    }
    uint32_t get32(size_t at) const { return get16(at) | get16(at + 2) << 16; }
    void put32(size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
    }
    size_t offset_of(uint32_t rva) const {
        for (const Section &section : sections)
            if (rva >= section.rva && rva < section.rva + section.size) return rva - section.rva + section.raw;
        ADD_FAILURE() << "no section holds " << rva;
        return 0;
    }
    void write(const std::wstring &path) const {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
    }
};

TEST(CachedMode, ADamagedExecutableEndsWithTheDecodeMessage) {
    CacheRoom room;
    const PackedFile original(packed(L"cached.exe"));
    ASSERT_NE(original.slots, 0u);
    size_t table = original.offset_of(original.get32(original.slots + 40));
    size_t first_record = table + original.get32(table + 4);
    const struct {
        const char *what;
        size_t at;
        uint32_t value;
    } damages[] = {
        {"the file table's slot past the image", original.slots + 40, 0x7FFFFFF0},
        {"the payload's size past the image", original.slots + 12, 0x10},
        {"the product text's slot past the image", original.slots + 28, 0x7FFFFFF0},
        {"the table's count past its bytes", table, 0x10000000},
        {"a record's offset past the image", table + 4, 0x7FFFFFF0},
        {"a name's length past the image", first_record + 8, 0x00100000},
    };
    std::wstring damaged = room.temp + L"\\damaged.exe";
    for (const auto &damage : damages) {
        PackedFile copy = original;
        copy.put32(damage.at, damage.value);
        copy.write(damaged);
        Finished run = room.run(damaged, L"exit 0");
        EXPECT_EQ(run.exit_code, 2u) << damage.what;
        EXPECT_EQ(run.standard_output, "Error, couldn't decode attached data.\n") << damage.what;
        EXPECT_EQ(run.standard_error, "") << damage.what;
    }
    EXPECT_TRUE(room.published().empty()) << "a damaged executable published a folder";
}

TEST(CachedMode, LinksInTheCacheAreNotFollowed) {
    CacheRoom room;
    EXPECT_EQ(room.run(L"cached.exe", L"exit 0").exit_code, 0u);
    std::wstring folder = room.published();
    // data\ replaced by a link to a copy outside: the same files, but not in the folder.
    std::wstring outside = room.temp + L"\\outside";
    CreateDirectoryW(outside.c_str(), nullptr);
    CopyFileW((folder + L"\\data\\readme.txt").c_str(), (outside + L"\\readme.txt").c_str(), FALSE);
    remove_host_tree(folder + L"\\data");
    make_folder_link(folder + L"\\data", outside);

    std::wstring report = room.temp + L"\\report.txt";
    EXPECT_EQ(room.run(L"cached.exe", L"reportexit \"" + report + L"\" 0").exit_code, 0u);
    EXPECT_EQ(read_report(report)["readme"], "data beside the probe");
    EXPECT_EQ(read_file(narrow(outside) + "\\readme.txt"), "data beside the probe\n") << "the link was followed";
    DWORD attributes = GetFileAttributesW((room.published() + L"\\data").c_str());
    EXPECT_EQ(attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u) << "the application runs with the planted link";

    // The whole folder replaced by a link to a complete copy outside: not used, not emptied.
    std::wstring copy = room.temp + L"\\copy";
    CreateDirectoryW(copy.c_str(), nullptr);
    for (const auto &[name, bytes] : read_tree(folder)) {
        std::wstring target = copy + L"\\" + name;
        CreateDirectoryW(target.substr(0, target.rfind(L'\\')).c_str(), nullptr);
        CopyFileW((folder + L"\\" + name).c_str(), target.c_str(), FALSE);
    }
    remove_host_tree(folder);
    make_folder_link(folder, copy);
    EXPECT_EQ(room.run(L"cached.exe", L"reportexit \"" + report + L"\" 0").exit_code, 0u);
    std::string library = read_report(report)["library"];
    if (on_wine()) {
        // Wine cannot remove a host link: the start runs from its own fresh copy.
        EXPECT_EQ(library.rfind(narrow(folder) + ".new_", 0), 0u) << library;
    } else {
        EXPECT_EQ(library, narrow(folder) + "\\probe.dll");  // the junction removed, the folder published
    }
    EXPECT_TRUE(exists(copy + L"\\probe.dll") && exists(copy + L"\\data\\readme.txt"))
        << "the copy behind the link was moved or emptied";
    // Wine cannot remove a host link: the folder set aside with it may stay
    // (on Windows the junction goes with it).
}

}  // namespace
