// Folders worked through open handles. A path names whatever is at it when
// the system resolves it: whoever can write a folder's parent can swap the
// folder for a link between a check and the use. A handle stays on what was
// opened, so a folder is opened once, relative to its parent's handle, and
// everything below it is reached through it.
//
// Windows opens a link itself when asked to (FILE_OPEN_REPARSE_POINT); Wine
// follows a host symbolic link even then, so a handle's own word is not
// enough: the listing's word and the entry's id are checked as well.
#include "removal/folder_handles.h"

#include "paths/bounded.h"
#include "system/native_values.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool succeeded(NTSTATUS status) { return status >= 0; }

bool is_dot_name(const ListedEntry &entry) {
    return entry.name[0] == L'.' && (entry.bytes == 2 || (entry.bytes == 4 && entry.name[1] == L'.'));
}

struct BasicInformation {
    LARGE_INTEGER creation, last_access, last_write, change;  // 0: left as they are
    ULONG attributes;
};

// Set once the system has said it has no POSIX deletion (older Windows,
// Wine): only the classic deletion is asked from then on, a round trip less
// per entry. A file system without it on a system that has it (FAT) also
// sets it: the classic deletion works everywhere.
volatile bool no_posix_deletion;

}  // namespace

bool next_listed_entry(FolderListing &listing, ListedEntry &entry) {
    for (;;) {
        if (!listing.has_next) {
            IO_STATUS_BLOCK io = {};
            UNICODE_STRING mask = {};
            UNICODE_STRING *asked = nullptr;
            // The system takes the mask from the first question only.
            if (!listing.started && listing.mask != nullptr) {
                mask.Length = mask.MaximumLength = static_cast<USHORT>(wide_length(listing.mask) * sizeof(wchar_t));
                mask.Buffer = const_cast<wchar_t *>(listing.mask);
                asked = &mask;
            }
            // The first question restarts the listing: a handle listed before
            // (the held target folder, at each removal attempt) starts over.
            BOOLEAN restart = listing.started ? FALSE : TRUE;
            listing.started = true;
            NTSTATUS status = sys.NtQueryDirectoryFile(listing.folder, nullptr, nullptr, nullptr, &io, listing.buffer,
                                                       static_cast<ULONG>(listing.capacity),
                                                       kClassIdBothDirectory, FALSE, asked, restart);
            // The end (a warning status), no name that matches, or a folder
            // that cannot be listed: no more entries.
            if (!succeeded(status) || io.Information == 0) return false;
            listing.at = 0;
            listing.has_next = true;
        }
        const auto *found = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(listing.buffer + listing.at);
        if (found->NextEntryOffset == 0) listing.has_next = false;
        else listing.at += found->NextEntryOffset;
        entry = ListedEntry{found->FileName, found->FileNameLength, found->FileAttributes, found->FileId.QuadPart};
        if (!is_dot_name(entry)) return true;
    }
}

OpenedEntry open_listed_entry(HANDLE folder, const ListedEntry &entry) {
    OpenedEntry opened = {OpenedAs::refused, nullptr, 0};
    bool listed_folder = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool listed_link = (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    RelativeName relative(folder, entry.name, entry.bytes);
    IO_STATUS_BLOCK io = {};
    DWORD access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
    // An open asking for deletion breaks another program's opportunistic
    // lock on the entry (a scanner's, an indexer's) and would wait for the
    // break, which its holder may take seconds to grant: asked to complete
    // at once instead, such an entry is left for a later attempt.
    ULONG options = kOptionOpenLinkItself | kOptionSynchronous | kOptionCompleteIfOplocked |
                    (listed_folder ? kOptionDirectory : kOptionNonDirectory);
    if (listed_folder) access |= FILE_LIST_DIRECTORY;
    HANDLE handle = nullptr;
    NTSTATUS status = sys.NtCreateFile(&handle, access, &relative.attributes, &io, nullptr, 0, kShareAll,
                                       kFileOpenExisting, options, nullptr, 0);
    if (!succeeded(status)) return opened;
    if (status == kStatusOplockBreakInProgress) {
        sys.CloseHandle(handle);
        return opened;
    }
    // The handle's id and attributes by the two narrowest questions: they
    // are answered from the open file alone, where the broader one (name,
    // volume) costs Wine a trip to its server and to the mount manager.
    LARGE_INTEGER held_id = {};
    struct {
        ULONG attributes;
        ULONG reparse_tag;
    } held = {};
    bool judged = succeeded(sys.NtQueryInformationFile(handle, &io, &held_id, sizeof held_id,
                                                        kClassInternal)) &&
                  succeeded(sys.NtQueryInformationFile(handle, &io, &held, sizeof held, kClassAttributeTag));
    bool held_link = (held.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    bool held_folder = (held.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    OpenedAs as = OpenedAs::refused;
    if (!judged || (entry.id != 0 && held_id.QuadPart != entry.id)) as = OpenedAs::refused;
    else if (held_link) as = OpenedAs::link;
    else if (listed_link || held_folder != listed_folder) as = OpenedAs::refused;
    else as = held_folder ? OpenedAs::folder : OpenedAs::file;
    if (as == OpenedAs::refused) {
        sys.CloseHandle(handle);
        return opened;
    }
    return OpenedEntry{as, handle, held.attributes};
}

HANDLE open_folder_path(const wchar_t *path) {
    return sys.CreateFileW(path, FILE_LIST_DIRECTORY | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool delete_through_handle(HANDLE handle, DWORD attributes) {
    IO_STATUS_BLOCK io = {};
    ULONG flags = kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly;
    if (!no_posix_deletion) {
        NTSTATUS status = sys.NtSetInformationFile(handle, &io, &flags, sizeof flags, kClassDispositionEx);
        if (succeeded(status)) return true;
        // Invalid parameter, invalid class, not implemented, not supported.
        if (status == static_cast<NTSTATUS>(0xC000000Du) || status == static_cast<NTSTATUS>(0xC0000003u) ||
            status == static_cast<NTSTATUS>(0xC0000002u) || status == static_cast<NTSTATUS>(0xC00000BBu))
            no_posix_deletion = true;
    }
    // Older systems, and file systems without POSIX deletion: the classic
    // deletion, which refuses a read-only file.
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        BasicInformation basic = {};
        basic.attributes = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        if (basic.attributes == 0) basic.attributes = FILE_ATTRIBUTE_NORMAL;
        sys.NtSetInformationFile(handle, &io, &basic, sizeof basic, kClassBasic);
    }
    BOOLEAN delete_file = TRUE;
    return succeeded(sys.NtSetInformationFile(handle, &io, &delete_file, sizeof delete_file,
                                              kClassDisposition));
}

bool rename_through_handle(HANDLE handle, HANDLE folder, const wchar_t *name) {
    struct {
        ULONG replace;  // ReplaceIfExists in its first byte: no
        HANDLE root;
        ULONG bytes;
        wchar_t name[MAX_PATH];
    } rename = {0, folder, 0, {}};
    size_t units = wide_length(name);
    if (units >= MAX_PATH) return false;
    for (size_t i = 0; i < units; ++i) rename.name[i] = name[i];
    rename.bytes = static_cast<ULONG>(units * sizeof(wchar_t));
    IO_STATUS_BLOCK io = {};
    return succeeded(sys.NtSetInformationFile(handle, &io, &rename, sizeof rename, kClassRename));
}
