// The template engine: one pass over the template, each reference replaced by
// its variable's value. Values that must agree between a parent and its
// re-entered child (PID, TIME_US, RANDOM, TIME) come from the environment
// when a parent stored them there.
#include "paths/template.h"

#include <stdio.h>
#include <stdlib.h>

#include "paths/arguments.h"
#include "paths/bounded.h"
#include "paths/build_texts.h"
#include "paths/environment.h"
#include "system/syscalls.h"

ArgumentVector process_arguments;

namespace {

constexpr size_t kNameCapacity = 1024;

enum class Variable {
    temp, program, program_base, program_dir, pid, home, cache_dir, company, product,
    version, file_version, product_version, random, time_us, time, payload_id, unknown
};

struct NamedVariable {
    const char *name;
    Variable variable;
};

// Looked up in this order.
constexpr NamedVariable kVariables[] = {
    {"TEMP", Variable::temp}, {"PROGRAM", Variable::program}, {"PROGRAM_BASE", Variable::program_base},
    {"PROGRAM_DIR", Variable::program_dir}, {"PID", Variable::pid}, {"HOME", Variable::home},
    {"CACHE_DIR", Variable::cache_dir}, {"COMPANY", Variable::company}, {"PRODUCT", Variable::product},
    {"VERSION", Variable::version}, {"FILE_VERSION", Variable::file_version},
    {"PRODUCT_VERSION", Variable::product_version}, {"RANDOM", Variable::random},
    {"TIME_US", Variable::time_us}, {"TIME", Variable::time}, {"PAYLOAD_ID", Variable::payload_id},
};

wchar_t ascii_upper(wchar_t unit) { return unit >= L'a' && unit <= L'z' ? unit - (L'a' - L'A') : unit; }

Variable look_up(const wchar_t *name) {
    for (const NamedVariable &candidate : kVariables) {
        size_t i = 0;
        while (candidate.name[i] != 0 && ascii_upper(name[i]) == static_cast<wchar_t>(candidate.name[i])) ++i;
        if (candidate.name[i] == 0 && name[i] == 0) return candidate.variable;
    }
    return Variable::unknown;
}

// Formats with the runtime's bounded formatting, then widens unit by unit.
void append_formatted(wchar_t *end, size_t room, const char *format, long long value, bool wide_value) {
    char narrow[32];
    if (wide_value) snprintf(narrow, sizeof narrow, format, value);
    else snprintf(narrow, sizeof narrow, format, static_cast<long>(value));
    wchar_t wide[32];
    widen_narrow_text(wide, narrow, 32);
    append_wide_bounded(end, wide, room);
}

bool is_digit_unit(wchar_t unit) {
    if (unit >= L'0' && unit <= L'9') return true;
    if (unit < 0x100) return unit == 0xB2 || unit == 0xB3 || unit == 0xB9;
    WORD type = 0;
    return sys.GetStringTypeW(CT_CTYPE1, &unit, 1, &type) && (type & C1_DIGIT) != 0;
}

void append_pid(wchar_t *end, size_t room) {
    if (wchar_t *parent = get_environment_value("TARVEN_ONEFILE_PARENT")) {
        for (const wchar_t *unit = parent; *unit != 0; ++unit)
            if (!is_digit_unit(*unit)) sys.fail_fast();
        append_wide_bounded(end, parent, room);
        return;
    }
    append_formatted(end, room, "%ld", static_cast<int32_t>(sys.GetCurrentProcessId()), false);
}

// Appends a cached value when the environment holds one; gives whether it did.
bool append_cached(wchar_t *end, size_t room, const char *variable) {
    wchar_t *cached = get_environment_value(variable);
    if (cached == nullptr) return false;
    append_wide_bounded(end, cached, room);
    return true;
}

void append_random(wchar_t *end, size_t room) {
    if (append_cached(end, room, "TARVEN_ONEFILE_RANDOM")) return;
    LARGE_INTEGER counter;
    sys.QueryPerformanceCounter(&counter);
    auto counter_bits = static_cast<uint64_t>(counter.QuadPart);
    auto address = reinterpret_cast<uint64_t>(&counter);
    uint32_t seed = static_cast<uint32_t>(counter_bits >> 32) ^ static_cast<uint32_t>(counter_bits) ^
                    static_cast<uint32_t>(sys.GetCurrentProcessId()) ^ static_cast<uint32_t>(address >> 32) ^
                    static_cast<uint32_t>(address);
    wchar_t text[12];
    random_text_from_seed(seed, text);
    set_environment_value("TARVEN_ONEFILE_RANDOM", text);
    append_wide_bounded(end, text, room);
}

int64_t system_time() {
    FILETIME now;
    sys.GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

void append_cached_number(wchar_t *end, size_t room, const char *variable, const char *format, long long value,
                          bool wide_value) {
    wchar_t text[32] = {0};
    append_formatted(text, 32, format, value, wide_value);
    set_environment_value(variable, text);
    append_wide_bounded(end, text, room);
}

void append_time_us(wchar_t *end, size_t room) {
    if (append_cached(end, room, "TARVEN_ONEFILE_TIME_US")) return;
    int64_t microseconds = system_time() / 10;
    append_cached_number(end, room, "TARVEN_ONEFILE_TIME_US", "%06ld", microseconds % 1000000, false);
}

void append_time(wchar_t *end, size_t room) {
    if (append_cached(end, room, "TARVEN_ONEFILE_START")) return;
    append_cached_number(end, room, "TARVEN_ONEFILE_START", "%lld", system_time(), true);
}

void append_program(wchar_t *end, size_t room) {
    if (process_arguments.count < 1 || process_arguments.values == nullptr ||
        process_arguments.values[0] == nullptr)
        sys.fail_fast();
    append_wide_bounded(end, process_arguments.values[0], room);
}

// TEMP: a temporary folder the system cannot give, or one that does not fit,
// gives false rather than an empty value: "{TEMP}\x" would otherwise become
// a folder at the root of the current drive.
bool append_temp(wchar_t *end, size_t room) {
    DWORD length = sys.GetTempPathW(static_cast<DWORD>(room), end);
    if (length == 0 || length >= room) {
        *end = 0;
        return false;
    }
    return true;
}

bool append_program_base(wchar_t *end, size_t room) {
    if (!expand_path_template(end, L"{PROGRAM}", room)) return false;
    size_t length = wide_length(end);
    if (length >= 4) {
        wchar_t *ending = end + length - 4;
        if (ending[0] == L'.' && ascii_upper(ending[1]) == L'E' && ascii_upper(ending[2]) == L'X' &&
            ascii_upper(ending[3]) == L'E')
            *ending = 0;
    }
    return true;
}

bool append_program_dir(wchar_t *end, size_t room) {
    if (!expand_path_template(end, L"{PROGRAM}", room)) return false;
    if (wchar_t *last = last_backslash(end)) *last = 0;
    return true;
}

// Appends the variable's value at `end`; gives false when the expansion must
// end with false. Sets `strip` for the folder variables.
bool append_variable(Variable variable, wchar_t *end, size_t room, bool *strip) {
    switch (variable) {
    case Variable::temp: *strip = true; return append_temp(end, room);
    case Variable::program: append_program(end, room); return true;
    case Variable::program_base: return append_program_base(end, room);
    case Variable::program_dir: return append_program_dir(end, room);
    case Variable::pid: append_pid(end, room); return true;
    case Variable::home: *strip = true; return append_known_folder(end, CSIDL_PROFILE, room);
    case Variable::cache_dir: *strip = true; return append_known_folder(end, CSIDL_LOCAL_APPDATA, room);
    case Variable::company: append_wide_bounded(end, build_company(), room); return true;
    case Variable::product: append_wide_bounded(end, build_product(), room); return true;
    case Variable::version:
    case Variable::file_version:
    case Variable::product_version: append_wide_bounded(end, build_version(), room); return true;
    case Variable::random: append_random(end, room); return true;
    case Variable::payload_id: append_wide_bounded(end, build_payload_id(), room); return true;
    case Variable::time_us: append_time_us(end, room); return true;
    case Variable::time: append_time(end, room); return true;
    case Variable::unknown: break;
    }
    return false;
}

}  // namespace

void random_text_from_seed(uint32_t seed, wchar_t text[12]) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    uint32_t x = seed == 0 ? 1 : seed;
    uint8_t bytes[9] = {0};
    for (int k = 0; k < 8; ++k) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[k] = static_cast<uint8_t>(x);
    }
    int out = 0;
    for (int group = 0; group < 9; group += 3) {
        uint32_t bits = (uint32_t{bytes[group]} << 16) | (uint32_t{bytes[group + 1]} << 8) | bytes[group + 2];
        int characters = group == 6 ? 3 : 4;  // the last group holds two bytes
        for (int c = 0; c < characters; ++c) text[out++] = kAlphabet[(bits >> (18 - 6 * c)) & 63];
    }
    text[out] = 0;
}

bool append_known_folder(wchar_t *output, int csidl, size_t capacity) {
    wchar_t folder[MAX_PATH];
    if (sys.SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK) return false;
    append_wide_bounded(output, folder, capacity);
    return true;
}

bool expand_path_template(wchar_t *output, const wchar_t *path_template, size_t capacity) {
    wchar_t name[kNameCapacity];
    size_t name_length = 0;
    bool name_too_long = false;
    bool in_reference = false;
    bool strip = false;
    wchar_t *end = output;
    size_t room = capacity;
    *end = 0;

    for (const wchar_t *unit = path_template; *unit != 0; ++unit) {
        if (*unit == L'{') {
            in_reference = true;
            name_length = 0;
            name_too_long = false;
        } else if (*unit == L'}') {
            // A '}' that closes nothing has no meaning in a template.
            if (!in_reference || name_too_long) return false;
            name[name_length] = 0;
            strip = false;
            if (!append_variable(look_up(name), end, room, &strip)) return false;
            size_t added = wide_length(end);
            end += added;
            room -= added;
            if (strip) {
                while (end > output && end[-1] == L'\\') {
                    *--end = 0;
                    ++room;
                }
            }
            in_reference = false;
        } else if (in_reference) {
            if (name_length + 1 >= kNameCapacity) name_too_long = true;
            else name[name_length++] = *unit;
        } else {
            if (room <= 1) return false;
            *end++ = *unit;
            *end = 0;
            --room;
        }
    }
    *end = 0;
    return true;
}
