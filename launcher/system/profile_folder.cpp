// The user's profile folder from the system's profile list, through ntdll:
// loading the profile library for it costs a parent four more libraries
// (userenv, advapi32, sechost, ucrtbase) and milliseconds of every start.
#include "system/profile_folder.h"

namespace {

// The parts of ntdll's registry interface used here (winternl.h has no key calls).
struct KeyValuePartial {
    ULONG title_index;
    ULONG type;
    ULONG data_length;
    UCHAR data[1];
};
constexpr int kKeyValuePartialInformation = 2;
constexpr NTSTATUS kStatusSuccess = 0;

template <typename Function>
Function ntdll_function(const char *name) {
    return reinterpret_cast<Function>(ntdll_export(name));
}

// The user's SID as text ("S-1-5-21-..."), in `text` of `capacity` units; false where it cannot be read.
bool user_sid_text(wchar_t *text, USHORT capacity) {
    using ConvertSid = NTSTATUS(WINAPI *)(PUNICODE_STRING, PSID, BOOLEAN);
    auto convert = ntdll_function<ConvertSid>("RtlConvertSidToUnicodeString");
    HANDLE token = nullptr;
    if (convert == nullptr || sys.NtOpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) != kStatusSuccess)
        return false;
    alignas(8) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    ULONG returned = 0;
    NTSTATUS status = sys.NtQueryInformationToken(token, TokenUser, user, sizeof user, &returned);
    sys.CloseHandle(token);
    if (status != kStatusSuccess) return false;
    UNICODE_STRING sid = {0, static_cast<USHORT>(capacity * sizeof(wchar_t)), text};
    if (convert(&sid, reinterpret_cast<TOKEN_USER *>(user)->User.Sid, FALSE) != kStatusSuccess) return false;
    text[sid.Length / sizeof(wchar_t)] = 0;
    return sid.Length / sizeof(wchar_t) < capacity;
}

}  // namespace

bool profile_folder_from_registry(LPWSTR path) {
    using OpenKey = NTSTATUS(WINAPI *)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
    using QueryValue = NTSTATUS(WINAPI *)(HANDLE, PUNICODE_STRING, int, PVOID, ULONG, PULONG);
    auto open_key = ntdll_function<OpenKey>("NtOpenKey");
    auto query_value = ntdll_function<QueryValue>("NtQueryValueKey");
    if (open_key == nullptr || query_value == nullptr) return false;
    static const wchar_t kList[] = L"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
    constexpr size_t kListLength = sizeof kList / sizeof kList[0] - 1;
    wchar_t key_name[kListLength + 192];
    for (size_t i = 0; i < kListLength; ++i) key_name[i] = kList[i];
    if (!user_sid_text(key_name + kListLength, 192)) return false;
    UNICODE_STRING name = {0, 0, key_name};
    for (const wchar_t *end = key_name; *end != 0; ++end) name.Length += sizeof(wchar_t);
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    if (open_key(&key, KEY_QUERY_VALUE, &attributes) != kStatusSuccess) return false;
    wchar_t value_text[] = L"ProfileImagePath";
    UNICODE_STRING value_name = {sizeof value_text - sizeof(wchar_t), sizeof value_text, value_text};
    alignas(8) unsigned char value[offsetof(KeyValuePartial, data) + MAX_PATH * sizeof(wchar_t)];
    ULONG returned = 0;
    NTSTATUS status = query_value(key, &value_name, kKeyValuePartialInformation, value, sizeof value, &returned);
    sys.CloseHandle(key);
    auto *partial = reinterpret_cast<KeyValuePartial *>(value);
    if (status != kStatusSuccess || (partial->type != REG_SZ && partial->type != REG_EXPAND_SZ)) return false;
    // The stored text need not end with a zero: end it within the buffer.
    wchar_t stored[MAX_PATH + 1];
    size_t units = partial->data_length / sizeof(wchar_t);
    if (units > MAX_PATH) return false;
    for (size_t i = 0; i < units; ++i) stored[i] = reinterpret_cast<const wchar_t *>(partial->data)[i];
    stored[units] = 0;
    DWORD length = ExpandEnvironmentStringsW(stored, path, MAX_PATH);
    return length != 0 && length <= MAX_PATH && path[0] != 0;
}
