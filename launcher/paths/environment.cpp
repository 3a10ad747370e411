// Environment access and the narrow-to-wide widening shared with the template engine.
#include "paths/environment.h"

#include <stdlib.h>

#include "paths/bounded.h"
#include "system/syscalls.h"

namespace {

constexpr size_t kNameCapacity = 40;
// The longest value the system allows (32767 units) and its terminator.
constexpr DWORD kValueCapacity = 32768;
wchar_t value_buffer[kValueCapacity];

}  // namespace

void widen_narrow_text(wchar_t *destination, const char *source, size_t capacity) {
    size_t used = 0;
    for (; source[used] != 0; ++used) {
        wchar_t unit = 0;
        if (mbtowc(&unit, &source[used], 1) != 1) sys.fail_fast();
        if (used + 2 > capacity) sys.fail_fast();
        destination[used] = unit;
    }
    if (used + 1 > capacity) sys.fail_fast();
    destination[used] = 0;
}

wchar_t *duplicate_wide(const wchar_t *text) {
    size_t units = wide_length(text) + 1;
    auto *copy = static_cast<wchar_t *>(sys.malloc(units * sizeof(wchar_t)));
    if (copy == nullptr) sys.fail_fast();
    for (size_t i = 0; i < units; ++i) copy[i] = text[i];
    return copy;
}

wchar_t *get_environment_value(const char *name) {
    wchar_t wide_name[kNameCapacity];
    widen_narrow_text(wide_name, name, kNameCapacity);
    DWORD length = sys.GetEnvironmentVariableW(wide_name, value_buffer, kValueCapacity);
    if (length == 0 || length >= kValueCapacity) return nullptr;
    return duplicate_wide(value_buffer);
}

BOOL set_environment_value(const char *name, const wchar_t *value) {
    wchar_t wide_name[kNameCapacity];
    widen_narrow_text(wide_name, name, kNameCapacity);
    return sys.SetEnvironmentVariableW(wide_name, value);
}

BOOL unset_environment_value(const char *name) {
    wchar_t wide_name[kNameCapacity];
    widen_narrow_text(wide_name, name, kNameCapacity);
    return sys.SetEnvironmentVariableW(wide_name, nullptr);
}
