// The chain of folder handles the entry loop writes through. A path is
// resolved anew at every use: a link put in the folder between a check and
// a write would take the write elsewhere. A handle stays on what it opened,
// and Windows opens a link itself when asked to, so a link met on the way
// is seen and refused, never followed. (Wine follows a host link even then:
// the check of a folder there before lists it for links first.)
#include "unpack/entry_folders.h"

#include "paths/bounded.h"
#include "payload/entry_name.h"
#include "system/native_values.h"
#include "unpack/state.h"

namespace {

// A sound name of at most 1023 units holds at most 511 folders.
constexpr int kLevels = kEntryNameMaxUnits / 2 + 2;
constexpr DWORD kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kFileAccess = GENERIC_WRITE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// levels[0] is the target folder, levels[k] the folder whose name in
// `chain_name` ends at level_ends[k]; `depth` levels lie below the target
// folder, -1 before the chain starts.
HANDLE levels[kLevels];
size_t level_ends[kLevels];
wchar_t chain_name[kEntryNameCapacity];
int depth = -1;
bool own_root;

constexpr PlacedFile kForeign = {Placed::foreign, nullptr, 0};
constexpr PlacedFile kClash = {Placed::clash, nullptr, 0};

PlacedFile refused(NTSTATUS status) {
    return {Placed::failed, nullptr, static_cast<DWORD>(sys.RtlNtStatusToDosError(status))};
}

NTSTATUS open_in(HANDLE &handle, HANDLE folder, const wchar_t *name, size_t units, DWORD access, ULONG share,
                 ULONG disposition, ULONG options, ULONG_PTR &information) {
    RelativeName relative(folder, name, units * sizeof(wchar_t));
    IO_STATUS_BLOCK io = {};
    handle = nullptr;
    NTSTATUS status = sys.NtCreateFile(&handle, access, &relative.attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                                       disposition, options | kOptionSynchronous | kOptionOpenLinkItself, nullptr, 0);
    information = io.Information;
    return status;
}

// What an entry found there already turned out to be, by its own handle.
enum class Found { plain, foreign, clash, unknown };

Found judge(HANDLE handle, bool want_folder, NTSTATUS &status) {
    IO_STATUS_BLOCK io = {};
    struct {
        ULONG attributes;
        ULONG reparse_tag;
    } tag = {};
    status = sys.NtQueryInformationFile(handle, &io, &tag, sizeof tag, kClassAttributeTag);
    if (status < 0) return Found::unknown;
    if ((tag.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Found::foreign;
    if (((tag.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != want_folder) return Found::clash;
    if (want_folder) return Found::plain;
    // A second name for the file is a hard link: writing would change the
    // file under its other name, wherever that is.
    struct {
        LARGE_INTEGER allocation, end;
        ULONG links;
        BOOLEAN delete_pending, directory;
    } standard = {};
    status = sys.NtQueryInformationFile(handle, &io, &standard, sizeof standard, kClassStandard);
    if (status < 0) return Found::unknown;
    return standard.links > 1 ? Found::foreign : Found::plain;
}

// What an entry that is not plain gives; `status` is the reason of one not judged.
PlacedFile not_placed(Found found, NTSTATUS status) {
    return found == Found::foreign ? kForeign : found == Found::clash ? kClash : refused(status);
}

// Opens, or makes, the folder `name` inside `parent`.
PlacedFile enter_folder(HANDLE parent, const wchar_t *name, size_t units) {
    HANDLE folder = nullptr;
    ULONG_PTR information = 0;
    NTSTATUS status = open_in(folder, parent, name, units, kFolderAccess, kShareAll, kFileOpenOrCreate,
                              kOptionDirectory, information);
    if (status == kStatusNotADirectory) return kClash;
    if (status < 0) return refused(status);
    // One made just now is what it was made as; one found there is judged.
    Found found = information == kFileWasCreated ? Found::plain : judge(folder, true, status);
    if (found == Found::plain) return {Placed::open, folder, 0};
    sys.CloseHandle(folder);
    return not_placed(found, status);
}

// Creates the file `name` inside `folder`; one there already (a folder used
// before, or a name given twice) is opened itself, judged and emptied.
PlacedFile create_file_in(HANDLE folder, const wchar_t *name, size_t units) {
    HANDLE file = nullptr;
    ULONG_PTR information = 0;
    NTSTATUS status = open_in(file, folder, name, units, kFileAccess, FILE_SHARE_WRITE, kFileCreateNew,
                              kOptionNonDirectory, information);
    if (status >= 0) return {Placed::open, file, 0};
    if (status != kStatusNameCollision) return refused(status);
    status = open_in(file, folder, name, units, kFileAccess, FILE_SHARE_WRITE, kFileOpenExisting, kOptionNonDirectory,
                     information);
    if (status == kStatusFileIsADirectory) return kClash;
    if (status < 0) return refused(status);
    Found found = judge(file, false, status);
    if (found == Found::plain) {
        LARGE_INTEGER end = {};
        IO_STATUS_BLOCK io = {};
        status = sys.NtSetInformationFile(file, &io, &end, sizeof end, kClassEndOfFile);
        if (status >= 0) return {Placed::open, file, 0};
        found = Found::unknown;
    }
    sys.CloseHandle(file);
    return not_placed(found, status);
}

// The target folder: the handle held since it was made or checked, else
// one opened on its path, which must be a plain folder itself.
PlacedFile start_chain() {
    own_root = launcher_state.target_folder == nullptr;
    HANDLE root = launcher_state.target_folder;
    if (own_root) {
        root = sys.CreateFileW(launcher_state.target_directory, kFolderAccess, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (root == INVALID_HANDLE_VALUE) return {Placed::failed, nullptr, sys.GetLastError()};
        NTSTATUS status = 0;
        Found found = judge(root, true, status);
        if (found != Found::plain) {
            sys.CloseHandle(root);
            return not_placed(found, status);
        }
    }
    levels[0] = root;
    level_ends[0] = 0;
    chain_name[0] = 0;
    depth = 0;
    return {Placed::open, root, 0};
}

}  // namespace

void begin_entry_folders() { depth = -1; }

PlacedFile place_entry_file(const wchar_t *name) {
    if (depth < 0) {
        PlacedFile root = start_chain();
        if (root.as != Placed::open) return root;
    }
    size_t units = wide_length(name);
    size_t leaf = units;
    while (leaf > 0 && name[leaf - 1] != L'\\') --leaf;
    size_t folder_units = leaf == 0 ? 0 : leaf - 1;
    // Entries come sorted, so most share their folders with the one before:
    // the levels they share stay open, the others are closed.
    size_t same = 0;
    while (same < folder_units && same < level_ends[depth] && chain_name[same] == name[same]) ++same;
    while (depth > 0 && !(level_ends[depth] <= same &&
                          (level_ends[depth] == folder_units || name[level_ends[depth]] == L'\\')))
        sys.CloseHandle(levels[depth--]);
    for (size_t at = level_ends[depth]; at < folder_units;) {
        size_t start = at == 0 ? 0 : at + 1;
        size_t end = start;
        while (end < folder_units && name[end] != L'\\') ++end;
        PlacedFile entered = enter_folder(levels[depth], name + start, end - start);
        if (entered.as != Placed::open) return entered;
        for (size_t i = at; i < end; ++i) chain_name[i] = name[i];
        levels[++depth] = entered.handle;
        level_ends[depth] = end;
        at = end;
    }
    return create_file_in(levels[depth], name + leaf, units - leaf);
}

void end_entry_folders() {
    if (depth < 0) return;
    while (depth > 0) sys.CloseHandle(levels[depth--]);
    if (own_root) sys.CloseHandle(levels[0]);
    depth = -1;
}
