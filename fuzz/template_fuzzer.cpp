// Fuzz target: arbitrary templates, environment values and system folders
// through expand_path_template with small capacities. The output buffer sits
// between a poisoned guard region and the heap's own red zone: a unit written
// or read past the capacity stops the fuzzer. Checked on every input: no exit,
// the guard intact, a terminator within the capacity, literals copied as
// they are, and a second expansion in the environment the first one left (as
// a re-entered child would see it) giving the same result.
//
// Input: one byte of capacity (1..256 units), then UTF-16LE fields separated
// by zero units: template, TARVEN_ONEFILE_PARENT, TARVEN_ONEFILE_RANDOM,
// TARVEN_ONEFILE_TIME_US, TARVEN_ONEFILE_START, temporary folder, profile,
// local application data, program. A field the input does not reach keeps a
// plausible default; an empty one means absent (a folder the system cannot give).
#include <sanitizer/asan_interface.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/host_system.h"
#include "paths/arguments.h"
#include "paths/template.h"

namespace {

constexpr size_t kGuardUnits = 64;
constexpr wchar_t kGuard = static_cast<wchar_t>(0x7EADBEEF);  // never a UTF-16 unit
constexpr wchar_t kStale = L'#';

const char *const kCachedNames[] = {"TARVEN_ONEFILE_PARENT", "TARVEN_ONEFILE_RANDOM", "TARVEN_ONEFILE_TIME_US",
                                    "TARVEN_ONEFILE_START"};

struct Expansion {
    size_t capacity;
    const wchar_t *path_template;
    wchar_t *output;
    bool result;
};

void expand(void *context) {
    auto *e = static_cast<Expansion *>(context);
    e->result = expand_path_template(e->output, e->path_template, e->capacity);
}

struct Result {
    Ending ending;
    bool value;
    std::wstring text;
};

Result expand_guarded(const std::wstring &path_template, size_t capacity) {
    std::vector<wchar_t> buffer(capacity + kGuardUnits, kGuard);
    for (size_t i = 0; i < capacity; ++i) buffer[i] = kStale;
    wchar_t *guard = buffer.data() + capacity;
    ASAN_POISON_MEMORY_REGION(guard, kGuardUnits * sizeof(wchar_t));
    Expansion e = {capacity, path_template.c_str(), buffer.data(), false};
    Outcome outcome = run_guarded(expand, &e);
    ASAN_UNPOISON_MEMORY_REGION(guard, kGuardUnits * sizeof(wchar_t));
    for (size_t i = 0; i < kGuardUnits; ++i)
        if (guard[i] != kGuard) finding("a unit written past the capacity");
    if (outcome.ending == Ending::exited) finding("the template engine ended the process with an exit code");
    Result result = {outcome.ending, e.result, L""};
    if (outcome.ending == Ending::returned) {
        size_t length = 0;
        while (length < capacity && buffer[length] != 0) ++length;
        if (length == capacity) finding("an output without a terminator within the capacity");
        result.text.assign(buffer.data(), length);
    }
    return result;
}

std::vector<std::wstring> split_fields(const std::wstring &units, std::vector<bool> &present) {
    std::vector<std::wstring> fields(1);
    for (wchar_t unit : units) {
        if (unit == 0) fields.emplace_back();
        else fields.back() += unit;
    }
    present.assign(9, false);
    for (size_t i = 0; i < fields.size() && i < present.size(); ++i) present[i] = true;
    fields.resize(9);
    return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool installed = (install_host_system(), true);
    (void)installed;
    if (size < 1) return 0;
    size_t capacity = 1 + data[0];
    std::vector<bool> present;
    std::vector<std::wstring> fields = split_fields(units_of(data + 1, size - 1), present);

    host_environment.clear();
    for (size_t i = 0; i < 4; ++i) {
        std::wstring name(kCachedNames[i], kCachedNames[i] + strlen(kCachedNames[i]));
        if (present[1 + i] && !fields[1 + i].empty()) host_environment[name] = fields[1 + i];
    }
    host_temp_path = present[5] ? fields[5] : L"C:\\Users\\u\\AppData\\Local\\Temp\\";
    host_profile = present[6] ? fields[6] : L"C:\\Users\\u";
    host_local_appdata = present[7] ? fields[7] : L"C:\\Users\\u\\AppData\\Local";
    std::wstring program = present[8] ? fields[8] : L"C:\\Apps\\tool.exe";
    wchar_t *arguments[] = {program.data(), nullptr};
    process_arguments = {1, arguments};

    const std::wstring &path_template = fields[0];
    Result first = expand_guarded(path_template, capacity);
    bool literal = path_template.find_first_of(L"{}") == std::wstring::npos;
    if (literal && path_template.size() < capacity && (first.ending != Ending::returned || !first.value ||
                                                        first.text != path_template))
        finding("a literal template that fits did not come back as it is");
    if (first.ending == Ending::returned) {
        // The child's expansion, in the environment the parent's left behind.
        Result second = expand_guarded(path_template, capacity);
        if (second.ending != first.ending || second.value != first.value || second.text != first.text)
            finding("a second expansion gave another result");
    }
    process_arguments = {0, nullptr};
    release_host_allocations();
    return 0;
}
