// Failure injection over the whole run sequence of a parent: every system
// call the launcher makes is, in turn, made to fail at each of its uses.
// Whatever fails, the launcher ends with a message and exit code 2, with the
// fail-fast status, or goes on by its documented fallback; it never reports
// success without the application's files in place, and never removes
// anything but its own target folder.
//
// The run is real (real files below a scratch folder) except for the child:
// starting this test program again is replaced by a fake launch whose wait
// takes a snapshot of the target folder, where the child would run. The
// cached mode's run is injected the same way, a first start and a start
// that finds its folder; its library's load is faked, and its run_code takes
// the snapshot.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "unpack/extract.h"
#include "cache/cache.h"
#include "removal/remove_tree.h"
#include "removal/target_folder.h"
#include "run/run.h"
#include "unpack/state.h"
#include "paths/identity.h"
#include "tests/e2e/launch.h"
#include "tests/support/files.h"
#include "launcher/tests/support/seam.h"

// The test program's payload runs in the cached mode with a file table set
// (support/linked_payload.cpp); the target template is the tests' own.
extern const unsigned char *linked_file_table;
extern const wchar_t *test_target_template;

namespace {

// Per table entry: calls so far, the call to fail (0: none) and the failure value.
struct Site {
    const char *name;
    int calls = 0;
    int fail_at = 0;
    std::function<void()> install;
};
std::vector<Site *> sites;

template <auto Member> struct Counter {
    static inline Site site;
};

template <auto Member, typename Result> struct Failure {
    static inline Result value;
};

template <auto Member> struct Injected;
template <typename R, typename... A, R (*SystemCalls::*Member)(A...)> struct Injected<Member> {
    static inline R (*fake)(A...) = nullptr;  // called instead of the real call when set
    static R call(A... arguments) {
        Site &site = Counter<Member>::site;
        if (++site.calls == site.fail_at) {
            // A close that fails has closed the handle all the same (a file
            // whose last flush failed): left open, it would outlive the run
            // here, in the tests' own process, and hold its folder.
            if constexpr (std::is_same_v<std::tuple<A...>, std::tuple<HANDLE>>)
                if (strcmp(site.name, "CloseHandle") == 0) real_sys.CloseHandle(arguments...);
            SetLastError(ERROR_ACCESS_DENIED);
            return Failure<Member, R>::value;
        }
        return fake != nullptr ? fake(arguments...) : (real_sys.*Member)(arguments...);
    }
};

template <auto Member, typename R> void add_site(const char *name, R failure) {
    Failure<Member, R>::value = failure;
    Site &site = Counter<Member>::site;
    site.name = name;
    site.install = [] { sys.*Member = Injected<Member>::call; };
    sites.push_back(&site);
}

// Every call of the list, but those it says the injection leaves out.
#define TARVEN_INJECTED_CALL(name, returns, parameters, real, failure) add_site<&SystemCalls::name>(#name, failure);
#define TARVEN_LEFT_OUT_CALL(name, returns, parameters, real, why)

void register_sites() {
    if (!sites.empty()) return;
    TARVEN_SYSTEM_CALLS(TARVEN_INJECTED_CALL, TARVEN_LEFT_OUT_CALL)
}

// The application's files as the payload holds them (tests/data/make_streams.py "chunks").
const std::map<std::wstring, std::string> kExpected = {
    {L"empty", ""}, {L"d\\exact", std::string(32768, 'x')}, {L"d\\e\\over", std::string(32769, 'y')}};

bool child_saw_its_files;
std::wstring scratch;

// The application's files in a cache folder: all of it but the marker naming who published it.
std::map<std::wstring, std::string> application_files(const std::wstring &folder) {
    std::map<std::wstring, std::string> files = read_tree(folder);
    files.erase(kPublisherMarker);
    return files;
}

// Writes a publisher marker naming `executable` into `folder`.
void write_marker(const std::wstring &folder, const std::wstring &executable) {
    HANDLE file = CreateFileW((folder + L"\\" + kPublisherMarker).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                              nullptr);
    DWORD written = 0;
    WriteFile(file, executable.data(), static_cast<DWORD>(executable.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
}

// The fake child: "runs" while the parent waits, and sees what was extracted.
BOOL WINAPI fake_launch(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                        LPSTARTUPINFOW, LPPROCESS_INFORMATION process) {
    child_saw_its_files = read_tree(launcher_state.target_directory) == kExpected;
    process->hProcess = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // a signalled object to wait on
    process->hThread = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    process->dwProcessId = 1;
    return TRUE;
}
BOOL WINAPI child_exit_code(HANDLE, LPDWORD code) {
    *code = 0;
    return TRUE;
}

// The cached mode's library: any module will do; its run_code sees the folder.
HMODULE WINAPI fake_load_library(LPCWSTR, HANDLE, DWORD) { return GetModuleHandleW(nullptr); }
std::wstring library_loaded;
int fake_run_code(int, wchar_t **, const wchar_t *library_path) {
    library_loaded = library_path;
    std::wstring folder = library_path;
    child_saw_its_files = application_files(folder.substr(0, folder.rfind(L'\\'))) == kExpected;
    return 0;
}
FARPROC WINAPI fake_get_proc_address(HMODULE module, LPCSTR name) {
    if (std::string(name) != "run_code") return real_sys.GetProcAddress(module, name);
    return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(fake_run_code));
}

// The file table of kExpected as the packer stores it: the entry first (here
// "empty"), the rest sorted by their UTF-16 units; 8-byte aligned records of
// size, name length and name.
std::vector<unsigned char> file_table() {
    std::vector<std::wstring> names = {L"empty", L"d\\e\\over", L"d\\exact"};
    std::vector<unsigned char> table(8 + 4 * names.size());
    auto put = [&](size_t at, uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) table[at + i] = static_cast<unsigned char>(value >> (8 * i));
    };
    put(0, names.size(), 4);
    for (size_t i = 0; i < names.size(); ++i) {
        size_t at = table.size();
        put(4 + 4 * i, at, 4);
        table.resize(at + (12 + 2 * names[i].size() + 7) / 8 * 8);
        put(at, kExpected.at(names[i]).size(), 8);
        put(at + 8, names[i].size(), 4);
        for (size_t k = 0; k < names[i].size(); ++k) put(at + 12 + 2 * k, names[i][k], 2);
    }
    return table;
}

struct Result {
    Outcome outcome;
    unsigned exit_code = 0;
};

// Closes what a start of this process held, as its end would.
void release_held() {
    for (HANDLE held : {launcher_state.held_folder, launcher_state.held_library, launcher_state.target_folder})
        if (held != nullptr && held != INVALID_HANDLE_VALUE) CloseHandle(held);
    launcher_state.held_folder = launcher_state.held_library = launcher_state.target_folder = nullptr;
}

Result run_once() {
    release_held();
    for (const wchar_t *name : {L"TARVEN_ONEFILE_PARENT", L"TARVEN_ONEFILE_TIME_US", L"TARVEN_ONEFILE_RANDOM",
                                L"TARVEN_ONEFILE_START"})
        SetEnvironmentVariableW(name, nullptr);
    reset_launcher_state();
    child_saw_its_files = false;
    static wchar_t program[] = L"launcher.exe";
    static wchar_t *argv[] = {program, nullptr};
    Result result;
    result.outcome = capture([&] { result.exit_code = run_launcher(ArgumentVector{1, argv}); });
    return result;
}

class InjectionTest : public SeamTest {
protected:
    void SetUp() override {
        register_sites();
        scratch = scratch_folder(L"injection");
        SetEnvironmentVariableW(L"TMP", scratch.c_str());
        SetEnvironmentVariableW(L"TEMP", scratch.c_str());
        // Things that are not the launcher's: beside its folder, and its current directory.
        CreateDirectoryW((scratch + L"\\user").c_str(), nullptr);
        CloseHandle(CreateFileW((scratch + L"\\user\\keep.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                nullptr));
        GetCurrentDirectoryW(MAX_PATH, previous_directory);
        SetCurrentDirectoryW((scratch + L"\\user").c_str());
    }
    void TearDown() override {
        release_held();
        SetCurrentDirectoryW(previous_directory);
        linked_file_table = nullptr;
        test_target_template = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
        Injected<&SystemCalls::LoadLibraryExW>::fake = nullptr;
        Injected<&SystemCalls::GetProcAddress>::fake = nullptr;
        SeamTest::TearDown();
    }
    void use_fakes() {
        sys.CreateProcessW = fake_launch;
        sys.GetExitCodeProcess = child_exit_code;
    }
    // The cached mode under the tests' template, the file table kept here.
    void use_cached_mode() {
        cached_table = file_table();
        linked_file_table = cached_table.data();
        test_target_template = L"{TEMP}\\cached\\{PAYLOAD_ID}";
    }
    // A cached start whose hand-off loads the fake library.
    void use_cached_application() {
        use_fakes();
        use_cached_mode();
        sys.LoadLibraryExW = fake_load_library;
        sys.GetProcAddress = fake_get_proc_address;
    }
    std::vector<unsigned char> cached_table;
    wchar_t previous_directory[MAX_PATH];
};

TEST_F(InjectionTest, CleanRunExtractsLaunchesAndRemoves) {
    use_fakes();
    Result result = run_once();
    ASSERT_EQ(result.outcome.ending, Ending::returned) << result.outcome.standard_output << result.outcome.standard_error;
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_TRUE(child_saw_its_files);
    EXPECT_EQ(list_folder(scratch), std::vector<std::wstring>{L"user"});
}

// Registration fails before anything is unpacked: one line on standard output.
TEST_F(InjectionTest, HandlerThatCannotBeRegistered) {
    use_fakes();
    sys.SetConsoleCtrlHandler = [](PHANDLER_ROUTINE, BOOL) -> BOOL { return FALSE; };
    Result result = run_once();
    EXPECT_EQ(result.outcome.ending, Ending::exited);
    EXPECT_EQ(result.outcome.exit_code, 2);
    EXPECT_EQ(result.outcome.standard_output, "Error, failed to register signal handler.\n");
    EXPECT_EQ(result.outcome.standard_error, "");
    EXPECT_EQ(list_folder(scratch), std::vector<std::wstring>{L"user"});
}

// Runs the launcher once for each use of every call (counted by a clean
// run), that use failing, after `prepare`. Whatever fails, the run ends with
// one line and exit 2, with the fail-fast status, or goes on by a fallback
// that reports success only when the application had its files; nothing
// but the user's folder is touched, and `after` judges what is left.
void inject_at_every_use(const std::function<void()> &prepare, const std::function<void(const std::string &)> &after) {
    std::map<std::string, int> uses;
    for (Site *site : sites) {
        site->calls = 0;
        site->fail_at = 0;
        site->install();
    }
    prepare();
    for (Site *site : sites) site->calls = 0;
    ASSERT_EQ(run_once().outcome.ending, Ending::returned);
    ASSERT_TRUE(child_saw_its_files);
    for (Site *site : sites) uses[site->name] = site->calls;

    int injected = 0;
    std::map<std::string, int> endings;
    for (Site *site : sites) {
        for (int use = 1; use <= uses[site->name]; ++use) {
            for (Site *other : sites) other->calls = other->fail_at = 0;
            prepare();
            for (Site *other : sites) other->calls = 0;
            site->fail_at = use;
            Result result = run_once();
            for (Site *other : sites) other->fail_at = 0;
            ++injected;
            std::string where = std::string(site->name) + " failing at use " + std::to_string(use);
            const Outcome &outcome = result.outcome;
            switch (outcome.ending) {
            case Ending::exited: {
                ++endings["message and exit 2"];
                EXPECT_EQ(outcome.exit_code, 2) << where;
                std::string line = outcome.standard_output + outcome.standard_error;
                EXPECT_EQ(line.rfind("Error, ", 0), 0u) << where << ": " << line;
                EXPECT_EQ(line.find('\n'), line.size() - 1) << where << ": one line";
                break;
            }
            case Ending::aborted: ++endings["fail-fast"]; break;
            case Ending::returned:
                ++endings["fallback"];
                // Success is only ever reported for a child that had its files.
                if (result.exit_code == 0) EXPECT_TRUE(child_saw_its_files) << where;
                else EXPECT_EQ(result.exit_code, 1u) << where;  // the child's exit code could not be read
                break;
            }
            // Nothing but the launcher's own folders is ever removed.
            EXPECT_EQ(read_tree(scratch + L"\\user"), (std::map<std::wstring, std::string>{{L"keep.txt", ""}})) << where;
            after(where);
        }
    }
    printf("injected %d failures over %zu calls: %d message and exit 2, %d fail-fast, %d fallback\n", injected,
           sites.size(), endings["message and exit 2"], endings["fail-fast"], endings["fallback"]);
    EXPECT_GT(injected, 40);
}

// Removes what a run left in the scratch folder beside the user's folder.
void remove_left(const std::wstring &folder) {
    release_held();
    for (const std::wstring &name : list_folder(folder))
        if (name != L"user") remove_directory_tree((folder + L"\\" + name).c_str());
}

TEST_F(InjectionTest, EveryCallFailingAtEachUse) {
    use_fakes();
    inject_at_every_use([] {}, [](const std::string &) { remove_left(scratch); });
}

TEST_F(InjectionTest, EveryCallFailingAtEachUseOfACachedStart) {
    use_fakes();
    use_cached_mode();
    Injected<&SystemCalls::LoadLibraryExW>::fake = fake_load_library;
    Injected<&SystemCalls::GetProcAddress>::fake = fake_get_proc_address;
    std::wstring product = scratch + L"\\cached", folder = product + L"\\0123456789abcdef";
    // A folder published is always whole, whatever failed.
    auto published_whole = [&](const std::string &where) {
        if (exists(folder)) {
            EXPECT_EQ(application_files(folder), kExpected) << where;
        }
    };
    // A first start: nothing there yet.
    inject_at_every_use([&] { remove_left(scratch); }, published_whole);
    // A start that finds its folder (a clean run published it), beside an
    // older version's folder to remove: published by this executable.
    inject_at_every_use(
        [&] {
            remove_left(scratch);
            run_once();
            std::wstring older = product + L"\\fedcba9876543210";
            CreateDirectoryW(older.c_str(), nullptr);
            make_file(older + L"\\old.dll");
            write_marker(older, own_executable_path(true));
        },
        published_whole);
    remove_left(scratch);
}

// What a cached first start wrote, and what of it was flushed when the folder was published.
std::map<HANDLE, std::wstring> files_open;
std::vector<std::wstring> files_written;
std::set<std::wstring> files_flushed;
std::vector<std::wstring> unflushed_at_publish;
bool published;

TEST_F(InjectionTest, ACachedFirstStartFlushesEveryFileAndFixesItsTimeBeforePublishing) {
    use_fakes();
    use_cached_mode();
    files_open.clear(), files_written.clear(), files_flushed.clear(), unflushed_at_publish.clear();
    published = false;
    sys.LoadLibraryExW = fake_load_library;
    sys.GetProcAddress = fake_get_proc_address;
    // The files are made relative to their folders; the marker by its path.
    sys.NtCreateFile = [](PHANDLE handle, DWORD access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                          PLARGE_INTEGER size, ULONG file_attributes, ULONG share, ULONG disposition, ULONG options,
                          PVOID ea, ULONG ea_length) {
        NTSTATUS status = real_sys.NtCreateFile(handle, access, attributes, io, size, file_attributes, share,
                                                disposition, options, ea, ea_length);
        if (status >= 0 && (access & GENERIC_WRITE) != 0) {
            std::wstring name(attributes->ObjectName->Buffer, attributes->ObjectName->Length / sizeof(wchar_t));
            files_open[*handle] = name;
            files_written.push_back(name);
        }
        return status;
    };
    sys.CreateFileW = [](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                         DWORD flags, HANDLE model) {
        HANDLE file = real_sys.CreateFileW(path, access, share, security, disposition, flags, model);
        if (file != INVALID_HANDLE_VALUE && (access & GENERIC_WRITE) != 0 && (flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
            files_open[file] = path;
            files_written.push_back(path);
        }
        return file;
    };
    sys.FlushFileBuffers = [](HANDLE file) {
        files_flushed.insert(files_open[file]);
        return real_sys.FlushFileBuffers(file);
    };
    sys.MoveFileExW = [](LPCWSTR from, LPCWSTR to, DWORD flags) {
        if (std::wstring(from).find(L".new_") != std::wstring::npos) {
            published = true;
            for (const std::wstring &file : files_written)
                if (files_flushed.count(file) == 0) unflushed_at_publish.push_back(file);
        }
        return real_sys.MoveFileExW(from, to, flags);
    };
    Result result = run_once();
    ASSERT_EQ(result.outcome.ending, Ending::returned) << result.outcome.standard_output << result.outcome.standard_error;
    EXPECT_TRUE(child_saw_its_files);
    EXPECT_TRUE(published);
    EXPECT_EQ(files_written.size(), kExpected.size() + 1) << "the files and the marker";
    EXPECT_EQ(unflushed_at_publish, std::vector<std::wstring>{}) << "published before its files reached the disk";
    std::wstring folder = scratch + L"\\cached\\0123456789abcdef";
    for (const auto &[name, bytes] : kExpected) {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        ASSERT_TRUE(GetFileAttributesExW((folder + L"\\" + name).c_str(), GetFileExInfoStandard, &data));
        EXPECT_EQ((static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime,
                  kCachedWriteTime)
            << narrow(name);
    }
}


// The descriptors the launcher made folders with under the elevated runs'
// folder, and the one the system then reports for that folder: Wine keeps
// neither owner nor label, so the table gives back what Windows would.
std::vector<std::vector<unsigned char>> elevated_descriptors;
std::vector<unsigned char> reported_descriptor;

bool is_elevated_cache_path(LPCWSTR path) { return std::wstring(path).find(L"\\cached\\elevated") != std::wstring::npos; }

// Owner, label and access list of a descriptor the launcher made.
struct Protection {
    std::vector<unsigned char> owner;
    DWORD label_level = 0, label_mask = 0;
    std::map<std::vector<unsigned char>, DWORD> access;  // SID -> mask
};
Protection protection_of(const std::vector<unsigned char> &bytes) {
    Protection p;
    const auto *d = reinterpret_cast<const SECURITY_DESCRIPTOR_RELATIVE *>(bytes.data());
    auto sid = [](const unsigned char *at) { return std::vector<unsigned char>(at, at + 8 + 4 * at[1]); };
    p.owner = sid(bytes.data() + d->Owner);
    auto walk = [&](DWORD at, auto visit) {
        const auto *acl = reinterpret_cast<const ACL *>(bytes.data() + at);
        const unsigned char *ace = reinterpret_cast<const unsigned char *>(acl + 1);
        for (unsigned i = 0; i < acl->AceCount; ++i, ace += reinterpret_cast<const ACE_HEADER *>(ace)->AceSize)
            visit(ace);
    };
    if (d->Sacl != 0)
        walk(d->Sacl, [&](const unsigned char *ace) {
            p.label_mask = *reinterpret_cast<const DWORD *>(ace + 4);
            p.label_level = *reinterpret_cast<const DWORD *>(ace + 8 + 8);
        });
    walk(d->Dacl, [&](const unsigned char *ace) { p.access[sid(ace + 8)] = *reinterpret_cast<const DWORD *>(ace + 4); });
    return p;
}

void make_token_elevated() {
    sys.NtQueryInformationToken = [](HANDLE token, ULONG kind, PVOID information, ULONG length,
                                     PULONG returned) -> NTSTATUS {
        NTSTATUS status = real_sys.NtQueryInformationToken(token, kind, information, length, returned);
        if (status >= 0 && kind == 20) static_cast<TOKEN_ELEVATION *>(information)->TokenIsElevated = TRUE;
        // The elevated token's level: high.
        if (status >= 0 && kind == 25) {
            const auto *label = static_cast<unsigned char *>(static_cast<TOKEN_MANDATORY_LABEL *>(information)->Label.Sid);
            *const_cast<DWORD *>(reinterpret_cast<const DWORD *>(label + 8 + 4 * label[1] - 4)) = 0x3000;
        }
        return status;
    };
    sys.CreateDirectoryW = [](LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) -> BOOL {
        BOOL made = real_sys.CreateDirectoryW(path, attributes);
        if (made && is_elevated_cache_path(path) && attributes != nullptr) {
            const auto *bytes = static_cast<const unsigned char *>(attributes->lpSecurityDescriptor);
            elevated_descriptors.emplace_back(bytes, bytes + 256);
        }
        return made;
    };
    sys.NtQuerySecurityObject = [](HANDLE handle, SECURITY_INFORMATION parts, PSECURITY_DESCRIPTOR out, ULONG length,
                                   PULONG needed) -> NTSTATUS {
        if ((parts & LABEL_SECURITY_INFORMATION) == 0 || reported_descriptor.empty())
            return real_sys.NtQuerySecurityObject(handle, parts, out, length, needed);
        memcpy(out, reported_descriptor.data(), reported_descriptor.size());
        return 0;
    };
}

// An elevated or SYSTEM start of the cached mode has a cache of its own
// beside the user's: a folder it makes with Administrators as owner, its
// label and nothing but reading for the user (whose standard processes share
// its SID), and checks at every start. The user's folder, which a standard
// process could have written, is never used; an elevated folder that fails
// the check (a standard process made it) is left alone, and the start
// unpacks afresh as the default mode does. The token is made to say elevated.
TEST_F(InjectionTest, AnElevatedCachedStartHasACacheOfItsOwnCheckedAtEveryStart) {
    use_fakes();
    make_token_elevated();
    sys.LoadLibraryExW = fake_load_library;
    sys.GetProcAddress = fake_get_proc_address;
    use_cached_mode();
    // A cache folder as a standard start left it, with a planted library.
    std::wstring users = scratch + L"\\cached\\0123456789abcdef";
    CreateDirectoryW((scratch + L"\\cached").c_str(), nullptr);
    CreateDirectoryW(users.c_str(), nullptr);
    make_file(users + L"\\empty");
    elevated_descriptors.clear();
    reported_descriptor.clear();

    // First start: the elevated folder is made, and reported as made.
    static bool elevated_folder_made;
    elevated_folder_made = false;
    sys.GetFileAttributesW = [](LPCWSTR path) {
        DWORD attributes = real_sys.GetFileAttributesW(path);
        if (!elevated_folder_made && !elevated_descriptors.empty()) {
            reported_descriptor = elevated_descriptors.front();
            elevated_folder_made = true;
        }
        return attributes;
    };
    Result first = run_once();
    ASSERT_EQ(first.outcome.ending, Ending::returned) << first.outcome.standard_output << first.outcome.standard_error;
    EXPECT_TRUE(child_saw_its_files);
    std::wstring elevated = scratch + L"\\cached\\elevated\\0123456789abcdef";
    EXPECT_EQ(application_files(elevated), kExpected);
    EXPECT_EQ(read_tree(users), (std::map<std::wstring, std::string>{{L"empty", std::string(1, 'x')}}));
    // The elevated folder and its fresh copy: Administrators own them, high label, the user reads.
    ASSERT_GE(elevated_descriptors.size(), 2u);
    const std::vector<unsigned char> administrators = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
    const std::vector<unsigned char> system = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    for (const std::vector<unsigned char> &made : elevated_descriptors) {
        Protection p = protection_of(made);
        EXPECT_EQ(p.owner, administrators);
        EXPECT_EQ(p.label_level, 0x3000u);
        EXPECT_EQ(p.label_mask, static_cast<DWORD>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP));
        ASSERT_EQ(p.access.size(), 3u);
        EXPECT_EQ(p.access[administrators], static_cast<DWORD>(FILE_ALL_ACCESS));
        EXPECT_EQ(p.access[system], static_cast<DWORD>(FILE_ALL_ACCESS));
        for (const auto &[sid, mask] : p.access) {
            if (sid != administrators && sid != system) {
                EXPECT_EQ(mask, static_cast<DWORD>(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE)) << "the user";
            }
        }
    }

    // A later start checks the folder and runs from it: nothing made, nothing unpacked.
    sys.GetFileAttributesW = real_sys.GetFileAttributesW;
    size_t made_before = elevated_descriptors.size();
    Result later = run_once();
    ASSERT_EQ(later.outcome.ending, Ending::returned) << later.outcome.standard_error;
    EXPECT_TRUE(child_saw_its_files);
    EXPECT_EQ(elevated_descriptors.size(), made_before);

    // The same folder reported as a standard process would have made it
    // (the user its owner, no label; what Wine reports): left alone, and the
    // start unpacks afresh, runs its child from there and removes it.
    reported_descriptor.clear();
    static bool child_ran_elsewhere;
    child_ran_elsewhere = false;
    sys.CreateProcessW = [](LPCWSTR application, LPWSTR line, LPSECURITY_ATTRIBUTES process_attributes,
                            LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit, DWORD flags, LPVOID environment,
                            LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process) -> BOOL {
        child_ran_elsewhere = std::wstring(launcher_state.target_directory).find(L"\\onefile_") != std::wstring::npos;
        return fake_launch(application, line, process_attributes, thread_attributes, inherit, flags, environment,
                           directory, startup, process);
    };
    release_held();
    Result planted = run_once();
    ASSERT_EQ(planted.outcome.ending, Ending::returned) << planted.outcome.standard_error;
    EXPECT_TRUE(child_saw_its_files);
    EXPECT_TRUE(child_ran_elsewhere);
    EXPECT_EQ(application_files(elevated), kExpected);
    release_held();
    EXPECT_EQ(list_folder(scratch), (std::vector<std::wstring>{L"cached", L"user"}));
    remove_left(scratch);
}

// A cached start removes the leftovers of launchers that are gone, never
// those of a launcher whose process it may not open (another user's, an
// elevated one): that one counts as alive.
TEST_F(InjectionTest, ACachedStartKeepsTheLeftoversOfALauncherItMayNotOpen) {
    use_cached_application();
    ASSERT_EQ(run_once().outcome.ending, Ending::returned);
    std::wstring product = scratch + L"\\cached";
    std::wstring others = product + L"\\0123456789abcdef.new_99990080_000001_AAAAAAAAAAA";
    std::wstring gone = product + L"\\0123456789abcdef.old_99990084_000001_BBBBBBBBBBB";
    for (const std::wstring &folder : {others, gone}) {
        CreateDirectoryW(folder.c_str(), nullptr);
        make_file(folder + L"\\empty");
    }
    sys.OpenProcess = [](DWORD access, BOOL inherit, DWORD id) -> HANDLE {
        if (id != 99990080) return real_sys.OpenProcess(access, inherit, id);
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    };
    Result result = run_once();
    ASSERT_EQ(result.outcome.ending, Ending::returned) << result.outcome.standard_error;
    EXPECT_TRUE(child_saw_its_files);
    EXPECT_TRUE(exists(others + L"\\empty"));
    EXPECT_FALSE(exists(gone));
    remove_left(scratch);
}

// Beside its folder, a cached start prunes a folder whose marker names a
// local program that is gone; a marker naming anything else (a share, a
// device, a relative path, no program) is no marker: never looked up, and
// its folder stays.
std::vector<std::wstring> looked_up;

TEST_F(InjectionTest, ACachedStartLooksUpOnlyMarkersNamingALocalProgram) {
    use_cached_application();
    ASSERT_EQ(run_once().outcome.ending, Ending::returned);
    std::wstring product = scratch + L"\\cached";
    const std::wstring gone = L"C:\\moved-away\\tool.exe";
    const std::wstring planted[] = {L"\\\\server\\share\\tool.exe", L"\\\\?\\C:\\moved-away\\tool.exe",
                                    L"moved-away\\tool.exe", L"C:\\moved-away\\tool.dll",
                                    L"C:\\moved-away\\..\\tool.exe", L"C:\\moved-away\\tool.exe:stream.exe"};
    std::vector<std::wstring> kept;
    for (size_t i = 0; i <= std::size(planted); ++i) {
        std::wstring folder = product + L"\\fedcba987654321" + static_cast<wchar_t>(L'0' + i);
        CreateDirectoryW(folder.c_str(), nullptr);
        make_file(folder + L"\\old.dll");
        write_marker(folder, i == 0 ? gone : planted[i - 1]);
        if (i > 0) kept.push_back(folder);
    }
    looked_up.clear();
    sys.GetFileAttributesW = [](LPCWSTR path) {
        looked_up.push_back(path);
        return real_sys.GetFileAttributesW(path);
    };
    Result result = run_once();
    ASSERT_EQ(result.outcome.ending, Ending::returned) << result.outcome.standard_error;
    EXPECT_TRUE(child_saw_its_files);
    EXPECT_FALSE(exists(product + L"\\fedcba9876543210")) << "the folder of a program that is gone stayed";
    for (const std::wstring &folder : kept) EXPECT_TRUE(exists(folder + L"\\old.dll")) << narrow(folder);
    for (const std::wstring &marker : planted)
        EXPECT_EQ(std::count(looked_up.begin(), looked_up.end(), marker), 0) << narrow(marker);
    EXPECT_EQ(std::count(looked_up.begin(), looked_up.end(), gone), 1);
    remove_left(scratch);
}

// A fixed template meets a folder of the user's own, prepared beforehand
// with what the payload's names would be written through: a link `d` (the
// payload's folder) to another folder, a hard link `d\exact` to a file
// elsewhere, a file `d` where a folder is wanted. Nothing is written through
// any of them, and nothing behind them changes. Under Wine the link is a
// host symlink, which opening follows but the listing shows; the hard link
// shows in the file's count of names.
TEST_F(InjectionTest, APreparedFolderHoldingALinkGetsNothingWrittenThroughIt) {
    use_fakes();
    test_target_template = L"{TEMP}\\tool";
    std::wstring prepared = scratch + L"\\tool", elsewhere = scratch + L"\\user";
    const std::function<void()> preparations[] = {
        [&] { make_folder_link(prepared + L"\\d", elsewhere); },
        [&] {
            ASSERT_TRUE(CreateDirectoryW((prepared + L"\\d").c_str(), nullptr));
            ASSERT_TRUE(CreateHardLinkW((prepared + L"\\d\\exact").c_str(), (elsewhere + L"\\keep.txt").c_str(), nullptr))
                << GetLastError();
        },
        [&] { make_file(prepared + L"\\d"); },
    };
    for (const std::function<void()> &prepare : preparations) {
        wcscpy(launcher_state.target_directory, prepared.c_str());
        ASSERT_EQ(capture([] { make_target_folder(); }).ending, Ending::returned);  // the user's alone
        release_held();
        prepare();
        std::map<std::wstring, std::string> before = read_tree(elsewhere);
        Result result = run_once();
        EXPECT_EQ(result.outcome.exit_code, 2);
        EXPECT_EQ(result.outcome.standard_error,
                  "Error, target folder '" + narrow(prepared) + "' is there already and not the user's alone.\n");
        EXPECT_FALSE(child_saw_its_files);
        EXPECT_EQ(read_tree(elsewhere), before) << "written through a link";
        remove_host_tree(prepared);
    }
    remove_left(scratch);
}

// A custom template may put the cache folder where others can write. A
// whole folder there that is not the user's alone (under Wine: mode 0777)
// is neither used nor removed: the start runs from a fresh copy of its own.
TEST_F(InjectionTest, ACacheFolderNotTheUsersAloneIsNeitherUsedNorRemoved) {
    use_cached_application();
    std::wstring folder = scratch + L"\\cached\\0123456789abcdef";
    ASSERT_EQ(run_once().outcome.ending, Ending::returned);
    EXPECT_EQ(library_loaded, folder + L"\\empty") << "the user's own folder is used";
    let_everyone_write(folder);
    std::map<std::wstring, std::string> before = read_tree(folder);
    Result result = run_once();
    ASSERT_EQ(result.outcome.ending, Ending::returned) << result.outcome.standard_error;
    EXPECT_TRUE(child_saw_its_files);
    EXPECT_NE(library_loaded, folder + L"\\empty") << "loaded from a folder others may write";
    EXPECT_EQ(library_loaded.rfind(folder + L".new_", 0), 0u) << narrow(library_loaded);
    EXPECT_EQ(read_tree(folder), before);
    release_held();
    remove_left(scratch);
}

}  // namespace
