// The target folder's protection. The launcher writes libraries into the
// folder and then loads them: whoever can add or replace a file there in
// between runs code as the user, or, in an elevated run, as an
// administrator. So the folder is made with an access list of its own
// (nothing inherited from a temporary folder that others may write), and
// everything unpacked inside inherits it. An elevated or SYSTEM run also
// labels it with its level: the same user's standard processes may then
// read it but not write into it.
//
// The descriptors are read and written as the system lays them out
// (self-relative), without the security library, which the launcher does
// not import.
#include "removal/target_folder.h"

#include <stdlib.h>

#include "removal/folder_handles.h"
#include "removal/remove_tree.h"
#include "unpack/extract.h"
#include "unpack/report.h"
#include "unpack/state.h"

namespace {

constexpr ULONG kTokenUser = 1;
constexpr ULONG kTokenElevation = 20;
constexpr ULONG kTokenIntegrityLevel = 25;
constexpr DWORD kHighLevel = 0x3000;
constexpr DWORD kSystemLevel = 0x4000;
constexpr ULONG kOwnerPart = 0x1, kDaclPart = 0x4, kLabelPart = 0x10;

constexpr unsigned char kInheritedByAll = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr unsigned char kSystemSid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
constexpr unsigned char kAdministratorsSid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};

// Rights that change a folder or what is in it: add, replace, remove or
// rename entries, change its attributes, access list or owner.
constexpr DWORD kChangingRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                  FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                  GENERIC_ALL | MAXIMUM_ALLOWED;

size_t sid_bytes(const unsigned char *sid) { return 8 + 4 * static_cast<size_t>(sid[1]); }

bool same_sid(const unsigned char *a, const unsigned char *b) {
    size_t bytes = sid_bytes(a);
    if (bytes != sid_bytes(b)) return false;
    for (size_t i = 0; i < bytes; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// Writes into a descriptor being built, or notes that it does not fit.
struct Writer {
    unsigned char *out;
    size_t capacity, at;
    bool fits;
    void bytes(const void *data, size_t count) {
        if (at + count > capacity) fits = false;
        if (fits)
            for (size_t i = 0; i < count; ++i) out[at + i] = static_cast<const unsigned char *>(data)[i];
        at += count;
    }
    void word(unsigned short value) { bytes(&value, 2); }
    void dword(DWORD value) { bytes(&value, 4); }
};

// An access list of one entry per SID, each of `type` with its mask, inherited by all.
void write_acl(Writer &writer, unsigned char type, const DWORD *masks, const unsigned char *const *sids, int count) {
    size_t size = 8;
    for (int i = 0; i < count; ++i) size += 8 + sid_bytes(sids[i]);
    unsigned char header[4] = {ACL_REVISION, 0, 0, 0};
    writer.bytes(header, 2);
    writer.word(static_cast<unsigned short>(size));
    writer.word(static_cast<unsigned short>(count));
    writer.word(0);
    for (int i = 0; i < count; ++i) {
        unsigned char ace[2] = {type, kInheritedByAll};
        writer.bytes(ace, 2);
        writer.word(static_cast<unsigned short>(8 + sid_bytes(sids[i])));
        writer.dword(masks[i]);
        writer.bytes(sids[i], sid_bytes(sids[i]));
    }
}

// Set while an elevated or SYSTEM run makes its cache folders.
bool administrators_own;

// The level an elevated or SYSTEM process labels its folder with, 0 for none.
DWORD label_level(const RunningUser &user) {
    if (user.integrity >= kSystemLevel) return kSystemLevel;
    if (user.elevated && user.integrity >= kHighLevel) return kHighLevel;
    return 0;
}

}  // namespace

bool read_running_user(RunningUser &user) {
    HANDLE token = nullptr;
    if (sys.NtOpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) < 0) return false;
    alignas(8) unsigned char buffer[256];
    ULONG returned = 0;
    bool read = false;
    if (sys.NtQueryInformationToken(token, kTokenUser, buffer, sizeof buffer, &returned) >= 0) {
        const auto *sid = static_cast<const unsigned char *>(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid);
        size_t bytes = sid_bytes(sid);
        if (bytes <= sizeof user.sid) {
            for (size_t i = 0; i < bytes; ++i) user.sid[i] = sid[i];
            read = true;
        }
    }
    TOKEN_ELEVATION elevation = {};
    read = read && sys.NtQueryInformationToken(token, kTokenElevation, &elevation, sizeof elevation, &returned) >= 0;
    user.elevated = elevation.TokenIsElevated != 0;
    user.integrity = 0;
    if (read && sys.NtQueryInformationToken(token, kTokenIntegrityLevel, buffer, sizeof buffer, &returned) >= 0) {
        const auto *label = static_cast<const unsigned char *>(reinterpret_cast<TOKEN_MANDATORY_LABEL *>(buffer)->Label.Sid);
        if (label[1] > 0) user.integrity = *reinterpret_cast<const DWORD *>(label + sid_bytes(label) - 4);
    } else {
        read = false;
    }
    sys.CloseHandle(token);
    return read;
}

bool runs_elevated() {
    RunningUser user;
    return !read_running_user(user) || user.elevated || user.integrity >= kSystemLevel;
}

size_t make_protected_descriptor(const RunningUser &user, unsigned char *out, size_t capacity) {
    Writer writer{out, capacity, 0, true};
    DWORD level = label_level(user);
    unsigned short control = SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED;
    if (level != 0) control |= SE_SACL_PRESENT | SE_SACL_PROTECTED;
    unsigned char revision[2] = {SECURITY_DESCRIPTOR_REVISION, 0};
    writer.bytes(revision, 2);
    writer.word(control);
    unsigned char label[12] = {1, 1, 0, 0, 0, 0, 0, 16};
    *reinterpret_cast<DWORD *>(label + 8) = level;
    const unsigned char *label_sid[] = {label};
    const unsigned char *owners[] = {user.sid, kSystemSid, kAdministratorsSid};
    // An elevated run's cache: Administrators own it and the user, whose
    // standard processes share the SID, may only read it.
    bool for_administrators = administrators_own && level != 0;
    const DWORD masks[] = {static_cast<DWORD>(for_administrators ? FILE_GENERIC_READ | FILE_GENERIC_EXECUTE
                                                                 : FILE_ALL_ACCESS),
                           FILE_ALL_ACCESS, FILE_ALL_ACCESS};
    const unsigned char *owner = for_administrators ? kAdministratorsSid : user.sid;
    const DWORD no_write_up = SYSTEM_MANDATORY_LABEL_NO_WRITE_UP;
    size_t sacl_at = level != 0 ? 20 : 0;
    size_t dacl_at = 20 + (level != 0 ? 8 + 8 + sizeof label : 0);
    size_t dacl_bytes = 8 + 3 * 8 + sid_bytes(user.sid) + sizeof kSystemSid + sizeof kAdministratorsSid;
    // The user owns it (an elevated token would make Administrators the
    // owner); the group is the system's default.
    writer.dword(static_cast<DWORD>(dacl_at + dacl_bytes));
    writer.dword(0);
    writer.dword(static_cast<DWORD>(sacl_at));
    writer.dword(static_cast<DWORD>(dacl_at));
    if (level != 0)
        write_acl(writer, SYSTEM_MANDATORY_LABEL_ACE_TYPE, &no_write_up, label_sid, 1);
    write_acl(writer, ACCESS_ALLOWED_ACE_TYPE, masks, owners, 3);
    writer.bytes(owner, sid_bytes(owner));
    return writer.fits ? writer.at : 0;
}

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kRemovalRetryMs = 2000;
constexpr DWORD kRemovalPauseMs = 100;

SRWLOCK removal_lock = SRWLOCK_INIT;

unsigned long long file_id(const BY_HANDLE_FILE_INFORMATION &held) {
    return (static_cast<unsigned long long>(held.nFileIndexHigh) << 32) | held.nFileIndexLow;
}

// Opens the folder at `path` itself, never a link's target where the system
// opens links themselves; gives its identity and attributes in `held`.
HANDLE open_plain_folder(const wchar_t *path, DWORD access, BY_HANDLE_FILE_INFORMATION &held, DWORD share = kShareAll) {
    HANDLE folder = sys.CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return nullptr;
    if (!sys.GetFileInformationByHandle(folder, &held) ||
        (held.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY) {
        sys.CloseHandle(folder);
        return nullptr;
    }
    return folder;
}

// Holds the target folder (see LauncherState::target_folder) for listing
// only: a handle that may delete would refuse the application's own opens
// of its folder that do not share deletion (a listing, on some systems).
// It shares no deletion itself: no one may rename or remove the folder
// while it is held (a sweep that takes a killed parent's folder for a
// leftover among them). The cached mode's fresh copy is the exception: the
// launcher renames it into place itself, and holds the folder it runs from
// apart. Without it the removal goes by path, as it would without this.
void hold_target_folder(const wchar_t *path) {
    BY_HANDLE_FILE_INFORMATION held = {};
    DWORD share = launcher_state.cached_files ? kShareAll : FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE folder = open_plain_folder(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE, held,
                                      share);
    if (folder == nullptr) return;
    launcher_state.target_folder = folder;
    launcher_state.target_folder_volume = held.dwVolumeSerialNumber;
    launcher_state.target_folder_id = file_id(held);
}

// True when the volume of the open `folder` keeps access lists. FAT, exFAT
// and some network shares do not: whatever descriptor the system makes up
// for a folder there (Everyone's, or one naming the user alone) guards
// nothing, so a folder found there is never the user's alone.
bool volume_keeps_access_lists(HANDLE folder) {
    DWORD flags = 0;
    return sys.GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
           (flags & FILE_PERSISTENT_ACLS) != 0;
}

// Called with the removal's lock held.
void close_held_folder() {
    if (HANDLE folder = launcher_state.target_folder) sys.CloseHandle(folder);
    launcher_state.target_folder = nullptr;
}

// One attempt: through the held handle while there is one, else by path.
// The emptied folder is deleted through a handle opened by its path, which
// needs no listing of the folder above, and only when that handle is on the
// very folder held (the same volume and file id): anything put in its place
// since stays.
void remove_target_folder_once() {
    HANDLE held = launcher_state.target_folder;
    if (held == nullptr) {
        remove_directory_tree(launcher_state.target_directory);
        return;
    }
    empty_held_folder(held);
    // The held handle shares no deletion: it goes before the folder is
    // opened for deleting, and the handle that may delete is held instead
    // when it is the very folder (for the next attempt) and the deletion
    // was refused.
    close_held_folder();
    BY_HANDLE_FILE_INFORMATION found = {};
    HANDLE folder = open_plain_folder(launcher_state.target_directory, DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES |
                                                                           FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, found);
    // Refused while another process holds it (a child's last instant): the
    // next attempt works through a handle again, held as before, never by
    // the path alone.
    bool may_delete = folder != nullptr;
    if (!may_delete) {
        folder = open_plain_folder(launcher_state.target_directory, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   found, FILE_SHARE_READ | FILE_SHARE_WRITE);
        if (folder == nullptr) return;
    }
    bool same = found.dwVolumeSerialNumber == launcher_state.target_folder_volume &&
                file_id(found) == launcher_state.target_folder_id;
    bool deleted = same && may_delete && delete_through_handle(folder, found.dwFileAttributes);
    if (same && !deleted) {
        launcher_state.target_folder = folder;
        return;
    }
    sys.CloseHandle(folder);
}

// Listings of a folder being scanned for links, one per level, each on the heap.
constexpr int kDeepestScan = 600;

// True when nothing below the open `folder` is a link or junction, by the
// listing (which shows a link as one where opening it follows it, as Wine
// does) and by the handle of each folder entered. A folder deeper than any
// payload name reaches, or one that cannot be listed or opened, counts as
// holding one.
bool holds_no_link(HANDLE folder, int depth) {
    if (depth > kDeepestScan) return false;
    auto *buffer = static_cast<unsigned char *>(sys.malloc(kListingBufferBytes));
    if (buffer == nullptr) return false;
    FolderListing listing{folder, nullptr, buffer, kListingBufferBytes, 0, false, false};
    ListedEntry entry;
    bool clean = true;
    while (clean && next_listed_entry(listing, entry)) {
        if ((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) clean = false;
        if (!clean || (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
        OpenedEntry inner = open_listed_entry(folder, entry);
        if (inner.as != OpenedAs::refused) {
            clean = inner.as == OpenedAs::folder && holds_no_link(inner.handle, depth + 1);
            sys.CloseHandle(inner.handle);
        } else {
            clean = false;
        }
    }
    free(buffer);
    return clean;
}

}  // namespace

void hold_running_folder(const wchar_t *path) {
    HANDLE folder = sys.CreateFileW(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder != INVALID_HANDLE_VALUE) launcher_state.held_folder = folder;
}

// Under the removal's lock: a console event's removal may be using the handle.
void release_target_folder() {
    AcquireSRWLockExclusive(&removal_lock);
    close_held_folder();
    ReleaseSRWLockExclusive(&removal_lock);
}

// Retries while files in it are still held open (a scanner looking at what
// was written, the child's last handles): about two seconds by the clock,
// however long each attempt or pause lasts. One removal at a time: a second
// caller (the main thread once the child ended or a write failed, the
// console control thread on an event) waits for the first, then makes its
// own attempt, which finds the folder gone.
void remove_target_folder() {
    const wchar_t *target = launcher_state.target_directory;
    AcquireSRWLockExclusive(&removal_lock);
    ULONGLONG begun = sys.GetTickCount64();
    for (;;) {
        remove_target_folder_once();
        DWORD attributes = sys.GetFileAttributesW(target);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) break;
        if (sys.GetTickCount64() - begun >= kRemovalRetryMs) break;
        sys.Sleep(kRemovalPauseMs);
    }
    ReleaseSRWLockExclusive(&removal_lock);
}

void report_unpacking_failure(const EntryLoopResult &result) {
    // Every file the loop wrote is closed by now; what it wrote would keep
    // the disk full, and the next start of any program would fail as well.
    if (failed_for_lack_of_space(result)) remove_target_folder();
    report_entry_loop_failure(result);
}

namespace {

// True when the access list at `acl` lets no one but the user, SYSTEM and
// Administrators change the folder or anything made in it: entries only for
// what is made inside count too, since everything unpacked inherits them.
bool only_owners_may_change(const ACL *acl, const RunningUser &user) {
    const unsigned char *ace = reinterpret_cast<const unsigned char *>(acl + 1);
    for (unsigned i = 0; i < acl->AceCount; ++i, ace += reinterpret_cast<const ACE_HEADER *>(ace)->AceSize) {
        const auto *entry = reinterpret_cast<const ACE_HEADER *>(ace);
        DWORD mask = *reinterpret_cast<const DWORD *>(ace + 4);
        if ((mask & kChangingRights) == 0) continue;
        if (entry->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE || entry->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE)
            return false;  // not a folder's kind of entry: not trusted
        if (entry->AceType == ACCESS_ALLOWED_ACE_TYPE || entry->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
            const unsigned char *sid = ace + 8;
            if (!same_sid(sid, user.sid) && !same_sid(sid, kSystemSid) && !same_sid(sid, kAdministratorsSid))
                return false;
        }
    }
    return true;
}

// True when the label list at `sacl` holds, for the folder and everything
// made in it, a mandatory label of at least `level` that lower processes
// may not write up to.
bool labelled_at_least(const ACL *sacl, DWORD level) {
    const unsigned char *ace = reinterpret_cast<const unsigned char *>(sacl + 1);
    for (unsigned i = 0; i < sacl->AceCount; ++i, ace += reinterpret_cast<const ACE_HEADER *>(ace)->AceSize) {
        const auto *entry = reinterpret_cast<const ACE_HEADER *>(ace);
        if (entry->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE) continue;
        const unsigned char *sid = ace + 8;
        DWORD mask = *reinterpret_cast<const DWORD *>(ace + 4);
        bool applies = (entry->AceFlags & INHERIT_ONLY_ACE) == 0 && (entry->AceFlags & kInheritedByAll) == kInheritedByAll;
        DWORD found = sid[1] > 0 ? *reinterpret_cast<const DWORD *>(sid + sid_bytes(sid) - 4) : 0;
        return applies && (mask & SYSTEM_MANDATORY_LABEL_NO_WRITE_UP) != 0 && found >= level;
    }
    return false;
}

}  // namespace

bool folder_is_users_alone(HANDLE folder, const RunningUser &user) {
    BY_HANDLE_FILE_INFORMATION held = {};
    // A link in the folder's place is not the user's folder, whatever it points at.
    bool plain = sys.GetFileInformationByHandle(folder, &held) &&
                 (held.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                     FILE_ATTRIBUTE_DIRECTORY &&
                 volume_keeps_access_lists(folder);
    // An elevated or SYSTEM run needs its own label on the folder: without
    // it the user's standard processes may have written there.
    DWORD level = label_level(user);
    ULONG needed = 0;
    auto *descriptor = plain ? static_cast<unsigned char *>(sys.malloc(65536)) : nullptr;
    bool read = descriptor != nullptr &&
                sys.NtQuerySecurityObject(folder, kOwnerPart | kDaclPart | (level != 0 ? kLabelPart : 0), descriptor,
                                          65536, &needed) >= 0;
    bool alone = false;
    if (read) {
        const auto *header = reinterpret_cast<const SECURITY_DESCRIPTOR_RELATIVE *>(descriptor);
        // No access list at all lets everyone do anything.
        alone = header->Owner != 0 && same_sid(descriptor + header->Owner, user.sid) &&
                (header->Control & SE_DACL_PRESENT) != 0 && header->Dacl != 0 &&
                only_owners_may_change(reinterpret_cast<const ACL *>(descriptor + header->Dacl), user);
        if (alone && level != 0)
            alone = (header->Control & SE_SACL_PRESENT) != 0 && header->Sacl != 0 &&
                    labelled_at_least(reinterpret_cast<const ACL *>(descriptor + header->Sacl), level);
    }
    free(descriptor);
    return alone;
}

void protect_for_elevated_cache(bool on) { administrators_own = on; }

bool folder_is_administrators_alone(const wchar_t *path) {
    DWORD attributes = sys.GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return false;
    BY_HANDLE_FILE_INFORMATION held = {};
    HANDLE folder = open_plain_folder(path, READ_CONTROL | FILE_READ_ATTRIBUTES, held);
    if (folder == nullptr) return false;
    ULONG needed = 0;
    auto *descriptor = volume_keeps_access_lists(folder) ? static_cast<unsigned char *>(sys.malloc(65536)) : nullptr;
    bool alone = descriptor != nullptr && sys.NtQuerySecurityObject(folder, kOwnerPart | kDaclPart | kLabelPart,
                                                                    descriptor, 65536, &needed) >= 0;
    sys.CloseHandle(folder);
    const auto *header = reinterpret_cast<const SECURITY_DESCRIPTOR_RELATIVE *>(descriptor);
    // Administrators own it, and an access list lets no one else change it
    // (no list at all would let everyone).
    alone = alone && header->Owner != 0 && same_sid(descriptor + header->Owner, kAdministratorsSid) &&
            (header->Control & SE_DACL_PRESENT) != 0 && header->Dacl != 0;
    bool labelled = false;
    for (int part = 0; alone && part < 2; ++part) {
        DWORD at = part == 0 ? header->Dacl : ((header->Control & SE_SACL_PRESENT) != 0 ? header->Sacl : 0);
        if (at == 0) continue;
        const auto *acl = reinterpret_cast<const ACL *>(descriptor + at);
        const unsigned char *ace = reinterpret_cast<const unsigned char *>(acl + 1);
        for (unsigned i = 0; alone && i < acl->AceCount; ++i, ace += reinterpret_cast<const ACE_HEADER *>(ace)->AceSize) {
            const auto *entry = reinterpret_cast<const ACE_HEADER *>(ace);
            DWORD mask = *reinterpret_cast<const DWORD *>(ace + 4);
            const unsigned char *sid = ace + 8;
            if (part == 1) {
                // A label of the high level or above that no lower process writes up to.
                if (entry->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE && (mask & SYSTEM_MANDATORY_LABEL_NO_WRITE_UP) != 0 &&
                    sid[1] > 0 && *reinterpret_cast<const DWORD *>(sid + sid_bytes(sid) - 4) >= kHighLevel)
                    labelled = true;
                continue;
            }
            // Entries only for what is created inside count too: the caches made inside inherit them.
            if ((mask & kChangingRights) == 0) continue;
            if (entry->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE || entry->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE)
                alone = false;  // not a folder's kind of entry: not trusted
            else if (entry->AceType == ACCESS_ALLOWED_ACE_TYPE || entry->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE)
                alone = same_sid(sid, kSystemSid) || same_sid(sid, kAdministratorsSid);
        }
    }
    free(descriptor);
    return alone && labelled;
}

DWORD create_protected_folder(const wchar_t *path, const RunningUser &user) {
    alignas(8) unsigned char descriptor[256];
    if (make_protected_descriptor(user, descriptor, sizeof descriptor) == 0) return ERROR_ACCESS_DENIED;
    // The levels above as the system makes them: the folder is the first the launcher owns.
    create_parent_directories(path);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    return sys.CreateDirectoryW(path, &attributes) ? 0 : sys.GetLastError();
}

void make_target_folder() {
    const wchar_t *target = launcher_state.target_directory;
    RunningUser user;
    DWORD error = read_running_user(user) ? create_protected_folder(target, user) : ERROR_ACCESS_DENIED;
    bool made = error == 0;
    launcher_state.target_folder_made = made;
    if (!made && error != ERROR_ALREADY_EXISTS)
        report_fatal_with_code("Error, couldn't create target folder.", static_cast<long>(error));
    // The folder found there is checked through the handle that is then
    // held: one swapped in after the check is not the one used.
    hold_target_folder(target);
    // Nothing is written into a folder found there through a link in it:
    // the user's own folder may hold one that points anywhere.
    HANDLE held = launcher_state.target_folder;
    if (!made && (held == nullptr || !folder_is_users_alone(held, user) || !holds_no_link(held, 0))) {
        release_target_folder();
        report_foreign_folder(target);
    }
}
