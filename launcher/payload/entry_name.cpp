// The packer's entry-name rules, again on the launcher's side: the packer's
// code is not linked here, and a name it would never write is damage.
#include "payload/entry_name.h"

#include "contract/contract.h"

namespace {

bool is_refused(wchar_t unit) {
    return unit < 0x20 || unit == L'<' || unit == L'>' || unit == L':' || unit == L'"' || unit == L'/' ||
           unit == L'|' || unit == L'?' || unit == L'*';
}

wchar_t upper(wchar_t unit) { return unit >= L'a' && unit <= L'z' ? static_cast<wchar_t>(unit - 32) : unit; }

// Windows maps these to devices in every folder, with any extension and with
// spaces before it ("nul.txt" and "con .log" are devices too).
bool is_device_name(const wchar_t *component, size_t units) {
    size_t stem = 0;
    while (stem < units && component[stem] != L'.') ++stem;
    while (stem > 0 && component[stem - 1] == L' ') --stem;
    if (stem != 3 && stem != 4) return false;
    wchar_t first[3] = {upper(component[0]), upper(component[1]), upper(component[2])};
    auto is = [&first](const wchar_t *word) { return first[0] == word[0] && first[1] == word[1] && first[2] == word[2]; };
    if (stem == 3) return is(L"CON") || is(L"PRN") || is(L"AUX") || is(L"NUL");
    return (is(L"COM") || is(L"LPT")) && component[3] >= L'1' && component[3] <= L'9';
}

bool component_is_sound(const wchar_t *component, size_t units) {
    if (units == 0) return false;
    if (component[0] == L'.' && (units == 1 || (units == 2 && component[1] == L'.'))) return false;
    for (size_t i = 0; i < units; ++i)
        if (is_refused(component[i])) return false;
    if (component[units - 1] == L'.' || component[units - 1] == L' ') return false;
    return !is_device_name(component, units);
}

}  // namespace

bool entry_name_is_sound(const wchar_t *name, size_t units) {
    if (units == 0 || units > kEntryNameMaxUnits) return false;
    // A leading backslash makes an empty first component; a drive's colon is refused.
    size_t start = 0;
    for (size_t i = 0; i <= units; ++i) {
        if (i < units && name[i] != L'\\') continue;
        if (!component_is_sound(name + start, i - start)) return false;
        start = i + 1;
    }
    return true;
}
