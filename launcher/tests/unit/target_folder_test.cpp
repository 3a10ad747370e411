// The target folder's protection: the descriptor the launcher makes it with
// (through the table, for standard, elevated and SYSTEM tokens), what the
// system reads back from the folder made, and a folder found there before.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "removal/target_folder.h"
#include "unpack/state.h"
#include "tests/support/files.h"
#include "launcher/tests/support/seam.h"

namespace {

// The token's answers, with its elevation and mandatory level replaced.
DWORD pretended_level;
NTSTATUS WINAPI pretending_token(HANDLE token, ULONG kind, PVOID information, ULONG length, PULONG returned) {
    NTSTATUS status = real_sys.NtQueryInformationToken(token, kind, information, length, returned);
    if (status >= 0 && kind == 20) static_cast<TOKEN_ELEVATION *>(information)->TokenIsElevated = pretended_level >= 0x3000;
    if (status >= 0 && kind == 25) {
        PSID label = static_cast<TOKEN_MANDATORY_LABEL *>(information)->Label.Sid;
        *GetSidSubAuthority(label, *GetSidSubAuthorityCount(label) - 1) = pretended_level;
    }
    return status;
}

// The descriptor the target folder was asked to be made with; the folder is
// made for real only when `really_make` holds (a standard test process may
// not label a folder above its own level).
std::vector<unsigned char> passed;
bool really_make;
BOOL WINAPI recording_create(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
    if (path == std::wstring(launcher_state.target_directory)) {
        EXPECT_NE(attributes, nullptr);
        if (attributes == nullptr) return FALSE;
        auto *bytes = static_cast<unsigned char *>(attributes->lpSecurityDescriptor);
        passed.assign(bytes, bytes + GetSecurityDescriptorLength(bytes));
        EXPECT_FALSE(attributes->bInheritHandle);
        if (!really_make) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    return real_sys.CreateDirectoryW(path, attributes);
}

std::vector<unsigned char> own_sid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    unsigned char buffer[256];
    DWORD length = 0;
    GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length);
    CloseHandle(token);
    auto *sid = static_cast<unsigned char *>(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid);
    return std::vector<unsigned char>(sid, sid + GetLengthSid(sid));
}

std::vector<unsigned char> well_known(WELL_KNOWN_SID_TYPE type) {
    std::vector<unsigned char> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    CreateWellKnownSid(type, nullptr, sid.data(), &size);
    sid.resize(size);
    return sid;
}

// One entry of an access list: type, flags, mask and SID.
struct Entry {
    int type, flags;
    unsigned long mask;
    std::vector<unsigned char> sid;
    bool operator==(const Entry &other) const {
        return type == other.type && flags == other.flags && mask == other.mask && sid == other.sid;
    }
};

std::vector<Entry> entries(PACL acl) {
    std::vector<Entry> found;
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        GetAce(acl, i, reinterpret_cast<void **>(&ace));
        auto *sid = reinterpret_cast<unsigned char *>(&ace->SidStart);
        found.push_back({ace->Header.AceType, ace->Header.AceFlags, ace->Mask,
                         std::vector<unsigned char>(sid, sid + GetLengthSid(sid))});
    }
    return found;
}

std::string utf8(const std::wstring &text) {
    std::string out(text.size() * 4, '\0');
    int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(),
                                     static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return out;
}

class TargetFolder : public SeamTest {
protected:
    void SetUp() override {
        folder = widen(test_data("target-folder-" + std::to_string(GetCurrentProcessId())));
        CreateDirectoryW(folder.c_str(), nullptr);
        sys.NtQueryInformationToken = pretending_token;
        sys.CreateDirectoryW = recording_create;
        reset_launcher_state();
    }
    void TearDown() override {
        SeamTest::TearDown();
        release_target_folder();
        remove_host_tree(folder);
    }
    std::wstring folder;
};

TEST_F(TargetFolder, TheUsersAloneAndLabelledWhenElevated) {
    const int kInherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const std::vector<Entry> owners = {{ACCESS_ALLOWED_ACE_TYPE, kInherited, FILE_ALL_ACCESS, own_sid()},
                                       {ACCESS_ALLOWED_ACE_TYPE, kInherited, FILE_ALL_ACCESS, well_known(WinLocalSystemSid)},
                                       {ACCESS_ALLOWED_ACE_TYPE, kInherited, FILE_ALL_ACCESS,
                                        well_known(WinBuiltinAdministratorsSid)}};
    for (DWORD level : {0x2000u, 0x3000u, 0x4000u}) {
        SCOPED_TRACE(level);
        pretended_level = level;
        really_make = level == 0x2000;
        std::wstring target = folder + L"\\\\level-" + std::to_wstring(level);
        wcscpy(launcher_state.target_directory, target.c_str());
        passed.clear();
        Outcome outcome = capture([] { make_target_folder(); });
        ASSERT_FALSE(passed.empty());
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(passed.data(), &control, &revision);
        // Nothing inherited from the folder above; the user owns it, elevated too.
        EXPECT_NE(control & SE_DACL_PROTECTED, 0);
        PSID owner = nullptr;
        BOOL owner_defaulted = FALSE;
        GetSecurityDescriptorOwner(passed.data(), &owner, &owner_defaulted);
        ASSERT_NE(owner, nullptr);
        EXPECT_EQ(std::vector<unsigned char>(static_cast<unsigned char *>(owner),
                                             static_cast<unsigned char *>(owner) + GetLengthSid(owner)),
                  own_sid());
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr, sacl = nullptr;
        GetSecurityDescriptorDacl(passed.data(), &present, &dacl, &defaulted);
        EXPECT_TRUE(present);
        EXPECT_EQ(entries(dacl), owners);
        GetSecurityDescriptorSacl(passed.data(), &present, &sacl, &defaulted);
        std::vector<Entry> labels;
        if (level > 0x2000)
            labels = {{SYSTEM_MANDATORY_LABEL_ACE_TYPE, kInherited, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP,
                       well_known(level == 0x3000 ? WinHighLabelSid : WinSystemLabelSid)}};
        EXPECT_EQ(present ? entries(sacl) : std::vector<Entry>{}, labels);
        if (!really_make) continue;
        // The folder made: what the system reads back grants nothing to anyone else.
        EXPECT_EQ(outcome.ending, Ending::returned) << outcome.standard_error;
        EXPECT_TRUE(exists(target));
        EXPECT_FALSE(others_granted(target, ~0ul));
    }
}

// A template without a unique part meets the folder of an earlier run: used
// when it is the user's alone (under Wine: mode 0700, what a protected
// descriptor becomes), refused with one line when others may write into it
// (under Wine: mode 0777).
TEST_F(TargetFolder, AFolderThereBeforeIsUsedOnlyWhenItIsTheUsersAlone) {
    pretended_level = 0x2000;
    really_make = true;
    std::wstring target = folder + L"\\\\fixed";
    wcscpy(launcher_state.target_directory, target.c_str());
    ASSERT_EQ(capture([] { make_target_folder(); }).ending, Ending::returned);
    Outcome again = capture([] { make_target_folder(); });
    EXPECT_EQ(again.ending, Ending::returned) << again.standard_error;

    let_everyone_write(target);
    Outcome refused = capture([] { make_target_folder(); });
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_EQ(refused.standard_error,
              "Error, target folder '" + utf8(target) + "' is there already and not the user's alone.\n");
    EXPECT_EQ(refused.standard_output, "");
    // A link in the folder's place is not the user's folder either.
    std::wstring linked = folder + L"\\\\linked";
    make_folder_link(linked, target);
    wcscpy(launcher_state.target_directory, linked.c_str());
    EXPECT_EQ(capture([] { make_target_folder(); }).exit_code, 2);
}

// A volume without access lists (FAT, exFAT, some network shares) keeps no
// owner and no access list: what the system shows for a folder there is
// made up (Everyone's on FAT; some shares name the user alone), and any
// user may write into it. A folder found there is never the user's alone,
// whatever its descriptor reads, and so it is when the volume will not say.
DWORD volume_flags;
BOOL volume_answers;
BOOL WINAPI pretending_volume(HANDLE, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD flags, LPWSTR, DWORD) {
    *flags = volume_flags;
    return volume_answers;
}

TEST_F(TargetFolder, AFolderThereBeforeOnAVolumeWithoutAccessListsIsNeverTheUsers) {
    pretended_level = 0x2000;
    really_make = true;
    std::wstring target = folder + L"\\\\on-fat";
    wcscpy(launcher_state.target_directory, target.c_str());
    ASSERT_EQ(capture([] { make_target_folder(); }).ending, Ending::returned);
    sys.GetVolumeInformationByHandleW = pretending_volume;
    volume_answers = TRUE;
    volume_flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;  // what FAT32 says
    Outcome refused = capture([] { make_target_folder(); });
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_EQ(refused.standard_error,
              "Error, target folder '" + utf8(target) + "' is there already and not the user's alone.\n");
    volume_flags |= FILE_PERSISTENT_ACLS;  // NTFS: the folder's own descriptor decides, and it is the user's alone
    EXPECT_EQ(capture([] { make_target_folder(); }).ending, Ending::returned);
    volume_answers = FALSE;
    EXPECT_EQ(capture([] { make_target_folder(); }).exit_code, 2);
}

// What Wine cannot show (it keeps no inherit-only entries and no labels),
// through the table: the folder there before is read as a descriptor of the
// test's making. An entry only for what is made inside counts, since every
// unpacked file inherits it; an elevated or SYSTEM run needs at least its
// own label on the folder, which the user's standard processes cannot write.
std::vector<unsigned char> shown;
NTSTATUS WINAPI showing_descriptor(HANDLE, ULONG, PVOID out, ULONG length, PULONG needed) {
    *needed = static_cast<ULONG>(shown.size());
    if (length < shown.size()) return static_cast<NTSTATUS>(0xC0000023);  // buffer too small
    memcpy(out, shown.data(), shown.size());
    return 0;
}

// A self-relative descriptor owned by the user, full control for the user,
// then `extra` (Everyone, with its flags and mask) when set, and a label of
// `label` (0: none) with no-write-up, inherited by all.
std::vector<unsigned char> descriptor(bool extra, int extra_flags, DWORD extra_mask, DWORD label) {
    std::vector<unsigned char> user = own_sid(), everyone = well_known(WinWorldSid), level(SECURITY_MAX_SID_SIZE);
    const int kInherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    alignas(8) unsigned char dacl[512], sacl[128];
    InitializeAcl(reinterpret_cast<PACL>(dacl), sizeof dacl, ACL_REVISION);
    AddAccessAllowedAceEx(reinterpret_cast<PACL>(dacl), ACL_REVISION, kInherited, FILE_ALL_ACCESS, user.data());
    if (extra) AddAccessAllowedAceEx(reinterpret_cast<PACL>(dacl), ACL_REVISION, extra_flags, extra_mask, everyone.data());
    SECURITY_DESCRIPTOR absolute;
    InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&absolute, user.data(), FALSE);
    SetSecurityDescriptorDacl(&absolute, TRUE, reinterpret_cast<PACL>(dacl), FALSE);
    if (label != 0) {
        SID_IDENTIFIER_AUTHORITY mandatory = SECURITY_MANDATORY_LABEL_AUTHORITY;
        InitializeSid(level.data(), &mandatory, 1);
        *GetSidSubAuthority(level.data(), 0) = label;
        InitializeAcl(reinterpret_cast<PACL>(sacl), sizeof sacl, ACL_REVISION);
        AddMandatoryAce(reinterpret_cast<PACL>(sacl), ACL_REVISION, kInherited, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP,
                        level.data());
        SetSecurityDescriptorSacl(&absolute, TRUE, reinterpret_cast<PACL>(sacl), FALSE);
    }
    DWORD size = 0;
    MakeSelfRelativeSD(&absolute, nullptr, &size);
    std::vector<unsigned char> relative(size);
    EXPECT_TRUE(MakeSelfRelativeSD(&absolute, relative.data(), &size));
    return relative;
}

TEST_F(TargetFolder, EntriesForWhatIsMadeInsideAndTheLabelOfAnElevatedRunCount) {
    std::wstring target = folder + L"\\\\prepared";
    wcscpy(launcher_state.target_directory, target.c_str());
    pretended_level = 0x2000;
    really_make = true;
    ASSERT_EQ(capture([] { make_target_folder(); }).ending, Ending::returned);
    release_target_folder();
    sys.NtQuerySecurityObject = showing_descriptor;
    auto accepted = [] {
        Outcome outcome = capture([] { make_target_folder(); });
        release_target_folder();
        return outcome.ending == Ending::returned && outcome.standard_error.empty();
    };
    const DWORD kModify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
    shown = descriptor(false, 0, 0, 0);
    EXPECT_TRUE(accepted());
    shown = descriptor(true, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, kModify, 0);
    EXPECT_FALSE(accepted()) << "Everyone may change every file unpacked inside";
    shown = descriptor(true, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, 0);
    EXPECT_TRUE(accepted()) << "reading is no change";
    // Elevated and SYSTEM runs: a folder the user's standard processes could have written.
    struct Case {
        DWORD run, label;
        bool accepted;
    };
    for (Case c : {Case{0x3000, 0, false}, Case{0x3000, 0x2000, false}, Case{0x3000, 0x3000, true},
                   Case{0x3000, 0x4000, true}, Case{0x4000, 0x3000, false}, Case{0x4000, 0x4000, true}}) {
        pretended_level = c.run;
        shown = descriptor(false, 0, 0, c.label);
        EXPECT_EQ(accepted(), c.accepted) << std::hex << "run " << c.run << ", label " << c.label;
    }
}

// The folder is held from its check until its removal, and by the process
// that runs the application from it: no one renames it away meanwhile
// (Wine enforces the sharing as Windows does).
TEST_F(TargetFolder, AHeldFolderCannotBeRenamedAway) {
    pretended_level = 0x2000;
    really_make = true;
    std::wstring target = folder + L"\\\\held", moved = folder + L"\\\\moved";
    wcscpy(launcher_state.target_directory, target.c_str());
    ASSERT_EQ(capture([] { make_target_folder(); }).ending, Ending::returned);
    EXPECT_FALSE(MoveFileExW(target.c_str(), moved.c_str(), 0)) << "renamed while the parent holds it";
    release_target_folder();
    hold_running_folder(target.c_str());
    EXPECT_FALSE(MoveFileExW(target.c_str(), moved.c_str(), 0)) << "renamed while the application runs from it";
    CloseHandle(launcher_state.held_folder);
    launcher_state.held_folder = nullptr;
    EXPECT_TRUE(MoveFileExW(target.c_str(), moved.c_str(), 0));
    // Removal goes through all the same, whatever it holds.
    EXPECT_TRUE(MoveFileExW(moved.c_str(), target.c_str(), 0));
    ASSERT_EQ(capture([] { make_target_folder(); }).ending, Ending::returned);
    make_file(target + L"\\inside.txt");
    remove_target_folder();
    EXPECT_FALSE(exists(target));
}

}  // namespace
