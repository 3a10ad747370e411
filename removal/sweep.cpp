// Sweeping leftover folders: a launcher killed hard runs no clean-up, and its
// folder would stay in the user's temporary folder for good. Each parent
// looks beside its own folder for folders of its own naming form whose
// launcher is gone, while its child starts.
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
//   killed halfway leaves a folder that names a dead launcher again.
// The cost per start is bounded: the system lists only names that start with
// the prefix, at most kSweepNamesLooked of them are looked at and at most
// kSweepFoldersRemoved removed; the next start takes the rest.
#include "removal/sweep.h"

#include "removal/remove_tree.h"
#include "unpack/state.h"
#include "paths/bounded.h"
#include "system/syscalls.h"

namespace {

constexpr wchar_t kUniqueEnd[] = L"{PID}_{TIME_US}_{RANDOM}";

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
        const wchar_t *prefix, *own_head;
        unsigned long own_id;
    } sweep{prefix, own_head, own_id};
    claim_folders(folder, mask, [](HANDLE parent, const ListedEntry &entry, const wchar_t *name, const void *context) {
        const Sweep &s = *static_cast<const Sweep *>(context);
        unsigned long id = 0;
        if (!is_leftover_name(name, s.prefix, &id) || id == s.own_id || !launcher_gone(id)) return false;
        // The claim: renamed to the same form under this launcher's id.
        wchar_t claimed[kPathCapacity];
        copy_wide_bounded(claimed, s.own_head, kPathCapacity);
        append_wide_bounded(claimed, after_process_id(name, s.prefix), kPathCapacity);
        return claim_and_remove_folder(parent, entry, claimed);
    }, &sweep);
}

void claim_folders(const wchar_t *folder, const wchar_t *mask,
                   bool (*claim)(HANDLE folder, const ListedEntry &entry, const wchar_t *name, const void *context),
                   const void *context) {
    HANDLE parent = open_folder_path(folder);
    if (parent == INVALID_HANDLE_VALUE) return;
    alignas(8) unsigned char buffer[kListingBufferBytes];
    FolderListing listing = {parent, mask, buffer, sizeof buffer, 0, false, false};
    int looked = 0, removed = 0;
    ListedEntry entry;
    while (removed < kSweepFoldersRemoved && looked < kSweepNamesLooked && next_listed_entry(listing, entry)) {
        ++looked;
        bool plain_folder = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                            (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        size_t units = entry.bytes / sizeof(wchar_t);
        if (!plain_folder || units >= MAX_PATH) continue;
        wchar_t name[MAX_PATH];
        for (size_t i = 0; i < units; ++i) name[i] = entry.name[i];
        name[units] = 0;
        if (claim(parent, entry, name, context)) ++removed;
    }
    sys.CloseHandle(parent);
}
