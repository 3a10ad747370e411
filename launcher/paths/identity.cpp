// Canonical executable paths and the launcher's own two cached forms.
#include "paths/identity.h"

#include <stdlib.h>

#include "paths/bounded.h"
#include "paths/environment.h"
#include "system/syscalls.h"

namespace {

constexpr size_t kOwnPathCapacity = 4097;
wchar_t own_plain_path[kOwnPathCapacity];
wchar_t own_canonical_path[kOwnPathCapacity];

using FinalPathFunction = DWORD(WINAPI *)(HANDLE, LPWSTR, DWORD, DWORD);

bool starts_with(const wchar_t *text, const wchar_t *prefix) {
    for (; *prefix != 0; ++text, ++prefix)
        if (*text != *prefix) return false;
    return true;
}

}  // namespace

void resolve_final_path(wchar_t *destination, const wchar_t *source, size_t capacity, bool resolve) {
    if (!resolve) {
        copy_wide_bounded(destination, source, capacity);
        return;
    }
    // Opened before the copy, so an in-place call opens the caller's text.
    HANDLE file = sys.CreateFileW(source, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    copy_wide_bounded(destination, source, capacity);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD length = 0;
    // Looked up on every call: the function is missing on the oldest systems.
    auto final_path = reinterpret_cast<FinalPathFunction>(
        reinterpret_cast<void *>(sys.GetProcAddress(sys.GetModuleHandleA("Kernel32.dll"), "GetFinalPathNameByHandleW")));
    if (final_path != nullptr) length = final_path(file, destination, static_cast<DWORD>(capacity), 0);
    sys.CloseHandle(file);
    if (length >= capacity) sys.fail_fast();
    if (starts_with(destination, L"\\\\?\\") && destination[4] != 0 && destination[5] == L':')
        copy_wide_bounded(destination, destination + 4, capacity);
    if (starts_with(destination, L"\\\\?\\UNC\\")) {
        copy_wide_bounded(destination, destination + 6, capacity);
        destination[0] = L'\\';
    }
}

void to_short_path_form(wchar_t *path, size_t capacity) {
    wchar_t *last_separator = last_backslash(path);
    wchar_t *last_component = nullptr;
    if (last_separator != nullptr) {
        *last_separator = 0;
        last_component = duplicate_wide(last_separator + 1);
    }
    DWORD needed = sys.GetShortPathNameW(path, nullptr, 0);
    if (needed != 0) {
        auto *shorter = static_cast<wchar_t *>(sys.malloc(needed * sizeof(wchar_t)));
        if (shorter == nullptr) sys.fail_fast();
        DWORD length = sys.GetShortPathNameW(path, shorter, needed);
        if (length > needed) sys.fail_fast();
        // A second call that fails leaves nothing to copy: the folders stay as they were.
        if (length != 0) copy_wide_bounded(path, shorter, capacity);
        free(shorter);
    }
    if (last_component != nullptr) {
        append_wide_bounded(path, L"\\", capacity);
        append_wide_bounded(path, last_component, capacity);
        free(last_component);
    }
}

const wchar_t *own_executable_path(bool canonical) {
    wchar_t *cache = canonical ? own_canonical_path : own_plain_path;
    if (cache[0] != 0) return cache;
    sys.GetModuleFileNameW(nullptr, cache, kOwnPathCapacity);
    resolve_final_path(cache, cache, kOwnPathCapacity, canonical);
    if (canonical) to_short_path_form(cache, kOwnPathCapacity);
    return cache;
}

void forget_own_executable_paths() {
    own_plain_path[0] = 0;
    own_canonical_path[0] = 0;
}
