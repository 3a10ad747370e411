// Sweeping leftover folders: a launcher killed hard runs no clean-up, and its
// folder would stay in the user's temporary folder for good. Each parent
// looks beside its own folder for folders of its own naming form whose
// launcher is gone, on a thread of its own while its child runs; the sweep
// delays the parent's end by at most a second, and that end stops it.
//
// A folder is removed only when all of these hold:
// - its name is the form exactly: prefix, process id, six digits, eleven
//   base64url characters; near misses, files and links are never touched;
// - the process it names cannot be opened because there is no such process,
//   or has ended. A live process with that id keeps the folder, even when it
//   only reuses the id of the launcher that died;
// - it can be renamed, to the same form under this launcher's id. On Windows
//   a folder cannot be renamed while a process holds a file in it open or
//   runs code from it (a loaded DLL, a program, a current directory), so a
//   folder in use is never removed. The rename also claims the folder: two
//   launchers sweeping at once never remove the same folder, and a sweep
//   stopped or killed halfway leaves a folder that names a dead launcher
//   again, which a later start finishes.
// The cost per start is bounded: the system lists only names that start with
// the prefix, at most kSweepNamesLooked of them are looked at and at most
// kSweepFoldersRemoved removed; the next start takes the rest. Each start
// looks at another random sample of the folders listed, so names that must
// stay (folders in use, live launchers) never hide the others for good, and
// only a folder that is gone counts as removed, so one that can be renamed
// but not removed does not take every start's removals.
#include "removal/sweep.h"

#include "removal/remove_tree.h"
#include "unpack/state.h"
#include "paths/bounded.h"
#include "system/syscalls.h"

namespace {

constexpr wchar_t kUniqueEnd[] = L"{PID}_{TIME_US}_{RANDOM}";
// How long a parent whose child has ended waits at most for its sweep to stop.
constexpr DWORD kSweepStopWaitMs = 1000;
// Reserved, not committed: the sweep keeps a few path buffers on its stack.
constexpr SIZE_T kSweepStack = 256 * 1024;

// Set by the main thread once the child has ended; the sweep checks it
// before each step and its removal before each entry.
volatile bool stop_requested;
HANDLE sweep_thread;
const wchar_t *sweep_target;
const wchar_t *sweep_template;

bool stopping() { return __atomic_load_n(&stop_requested, __ATOMIC_ACQUIRE); }

wchar_t upper(wchar_t unit) { return unit >= L'a' && unit <= L'z' ? static_cast<wchar_t>(unit - 32) : unit; }

bool is_digit(wchar_t unit) { return unit >= L'0' && unit <= L'9'; }

bool is_base64url(wchar_t unit) {
    return is_digit(unit) || (unit >= L'a' && unit <= L'z') || (unit >= L'A' && unit <= L'Z') || unit == L'-' ||
           unit == L'_';
}

// Where a leftover name's process id ends (its six digits and eleven characters follow).
const wchar_t *after_process_id(const wchar_t *name, const wchar_t *prefix) {
    const wchar_t *tail = name + wide_length(prefix);
    while (is_digit(*tail)) ++tail;
    return tail;
}

}  // namespace

bool launcher_gone(unsigned long id) {
    HANDLE process = sys.OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
    if (process == nullptr) return sys.GetLastError() == ERROR_INVALID_PARAMETER;
    bool ended = sys.WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    sys.CloseHandle(process);
    return ended;
}

const wchar_t *leftover_prefix(const wchar_t *path_template, wchar_t *prefix, size_t capacity) {
    const wchar_t *last = path_template;
    for (const wchar_t *unit = path_template; *unit != 0; ++unit)
        if (*unit == L'\\') last = unit + 1;
    size_t length = wide_length(last);
    size_t end_length = wide_length(kUniqueEnd);
    if (length <= end_length || length - end_length + 1 > capacity) return nullptr;
    size_t cut = length - end_length;
    for (size_t i = 0; i < end_length; ++i)
        if (upper(last[cut + i]) != kUniqueEnd[i]) return nullptr;
    for (size_t i = 0; i < cut; ++i) {
        // A reference, a wildcard or a separator in the prefix: not a form to look for.
        if (last[i] == L'{' || last[i] == L'}' || last[i] == L'*' || last[i] == L'?' || last[i] == L'/') return nullptr;
        prefix[i] = last[i];
    }
    prefix[cut] = 0;
    return prefix;
}

bool is_leftover_name(const wchar_t *name, const wchar_t *prefix, unsigned long *process_id) {
    for (; *prefix != 0; ++prefix, ++name)
        if (*name != *prefix) return false;
    unsigned long long id = 0;
    size_t digits = 0;
    for (; is_digit(*name); ++name, ++digits) {
        id = id * 10 + static_cast<unsigned>(*name - L'0');
        if (digits == 10) return false;
    }
    if (digits == 0 || id == 0 || id > 0xFFFFFFFFull || name[-static_cast<ptrdiff_t>(digits)] == L'0') return false;
    if (*name++ != L'_') return false;
    for (int i = 0; i < 6; ++i, ++name)
        if (!is_digit(*name)) return false;
    if (*name++ != L'_') return false;
    for (int i = 0; i < 11; ++i, ++name)
        if (!is_base64url(*name)) return false;
    if (*name != 0) return false;
    *process_id = static_cast<unsigned long>(id);
    return true;
}

void sweep_leftover_folders(const wchar_t *target, const wchar_t *path_template) {
    wchar_t prefix[kPathCapacity];
    if (leftover_prefix(path_template, prefix, kPathCapacity) == nullptr) return;
    wchar_t folder[kPathCapacity];
    copy_wide_bounded(folder, target, kPathCapacity);
    wchar_t *cut = last_backslash(folder);
    if (cut == nullptr) return;
    *cut = 0;
    // This launcher's own folder has the form too: its head (the prefix and
    // the id that {PID} wrote) is the head of every name it claims.
    const wchar_t *own_name = cut + 1;
    unsigned long own_id = 0;
    if (!is_leftover_name(own_name, prefix, &own_id)) return;
    wchar_t own_head[kPathCapacity];
    copy_wide_bounded(own_head, own_name, kPathCapacity);
    own_head[after_process_id(own_name, prefix) - own_name] = 0;
    wchar_t mask[kPathCapacity];
    copy_wide_bounded(mask, prefix, kPathCapacity);
    append_wide_bounded(mask, L"*", kPathCapacity);
    struct Sweep {
        const wchar_t *folder, *prefix, *own_head;
        unsigned long own_id;
    } sweep{folder, prefix, own_head, own_id};
    claim_folders(folder, mask, [](HANDLE parent, const ListedEntry &entry, const wchar_t *name, const void *context) {
        const Sweep &s = *static_cast<const Sweep *>(context);
        unsigned long id = 0;
        if (!is_leftover_name(name, s.prefix, &id) || id == s.own_id || !launcher_gone(id)) return false;
        // The claim: renamed to the same form under this launcher's id.
        wchar_t claimed[kPathCapacity];
        copy_wide_bounded(claimed, s.own_head, kPathCapacity);
        append_wide_bounded(claimed, after_process_id(name, s.prefix), kPathCapacity);
        if (stopping() || !claim_and_remove_folder(parent, entry, claimed, &stop_requested)) return false;
        // Only a folder that is gone counts: one that stays would take every start's removals.
        wchar_t path[kPathCapacity];
        if (wide_length(s.folder) + 1 + wide_length(claimed) + 1 > kPathCapacity) return false;
        copy_wide_bounded(path, s.folder, kPathCapacity);
        append_wide_bounded(path, L"\\", kPathCapacity);
        append_wide_bounded(path, claimed, kPathCapacity);
        return sys.GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES;
    }, &sweep);
}

namespace {

DWORD WINAPI run_sweep(LPVOID) {
    sweep_leftover_folders(sweep_target, sweep_template);
    return 0;
}

// A sampled entry of a listing: the listing's own entry points into a buffer
// that the next refill overwrites.
struct SampledEntry {
    wchar_t name[MAX_PATH];
    ListedEntry entry;
};

// The names a scan looks at: a fair sample of the listing's folders, so
// that each start looks at others and names that must stay (folders in use,
// live launchers) never hide the rest for good. One scan at a time per
// process: the sweep's thread, or the cached mode's tidying, never both.
SampledEntry sampled[kSweepNamesLooked];

// A pseudo-random sequence seeded from the performance counter (splitmix64).
unsigned long long next_random(unsigned long long &state) {
    unsigned long long z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

void start_leftover_sweep(const wchar_t *target, const wchar_t *path_template) {
    __atomic_store_n(&stop_requested, false, __ATOMIC_RELEASE);
    sweep_target = target;
    sweep_template = path_template;
    sweep_thread = sys.CreateThread(nullptr, kSweepStack, run_sweep, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                    nullptr);
}

void stop_leftover_sweep() {
    __atomic_store_n(&stop_requested, true, __ATOMIC_RELEASE);
    if (sweep_thread == nullptr) return;
    // The sweep stops before its next entry, but one entry's open or
    // deletion may itself wait on the system (a slow share, a file system
    // filter): the launcher's end does not wait for it. The process's end
    // then ends the thread, and the folder it was removing stays claimed
    // under this launcher's id for a later start.
    sys.WaitForSingleObject(sweep_thread, kSweepStopWaitMs);
    sys.CloseHandle(sweep_thread);
    sweep_thread = nullptr;
}

void claim_folders(const wchar_t *folder, const wchar_t *mask,
                   bool (*claim)(HANDLE folder, const ListedEntry &entry, const wchar_t *name, const void *context),
                   const void *context) {
    HANDLE parent = open_folder_path(folder);
    if (parent == INVALID_HANDLE_VALUE) return;
    alignas(8) unsigned char buffer[kListingBufferBytes];
    FolderListing listing = {parent, mask, buffer, sizeof buffer, 0, false, false};
    LARGE_INTEGER now = {};
    sys.QueryPerformanceCounter(&now);
    unsigned long long state = static_cast<unsigned long long>(now.QuadPart);
    // Reservoir sampling: in one pass every folder listed ends up among the
    // kSweepNamesLooked looked at with the same chance, wherever it is listed.
    size_t folders = 0;
    ListedEntry entry;
    while (!stopping() && next_listed_entry(listing, entry)) {
        bool plain_folder = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                            (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        size_t units = entry.bytes / sizeof(wchar_t);
        if (!plain_folder || units >= MAX_PATH) continue;
        size_t slot = folders < kSweepNamesLooked ? folders : next_random(state) % (folders + 1);
        ++folders;
        if (slot >= kSweepNamesLooked) continue;
        SampledEntry &kept = sampled[slot];
        for (size_t i = 0; i < units; ++i) kept.name[i] = entry.name[i];
        kept.name[units] = 0;
        kept.entry = entry;
        kept.entry.name = kept.name;
    }
    int removed = 0;
    for (size_t i = 0; i < folders && i < kSweepNamesLooked && !stopping(); ++i)
        if (claim(parent, sampled[i].entry, sampled[i].name, context) && ++removed == kSweepFoldersRemoved) break;
    sys.CloseHandle(parent);
}
