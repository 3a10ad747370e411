// The target template's choice between the stored one, an elevated run's
// cache of its own, and the default mode's; see target_choice.h.
#include "run/target_choice.h"

#include "paths/bounded.h"
#include "paths/build_texts.h"
#include "paths/template.h"
#include "payload/stored.h"
#include "removal/target_folder.h"
#include "unpack/state.h"

namespace {

bool unpacks_fresh;
bool elevated_cache;
wchar_t elevated_template[kPathCapacity];

// The stored template with the folder of elevated runs' caches before its
// last component (the packer makes that `\{PAYLOAD_ID}`); false when it has none.
bool make_elevated_template() {
    const wchar_t *stored = build_target_template();
    size_t last = 0;
    for (size_t i = 0; stored[i] != 0; ++i)
        if (stored[i] == L'\\') last = i;
    if (last == 0 || wide_length(stored) + sizeof kElevatedCacheFolder >= kPathCapacity) return false;
    for (size_t i = 0; i < last; ++i) elevated_template[i] = stored[i];
    elevated_template[last] = L'\\';
    copy_wide_bounded(elevated_template + last + 1, kElevatedCacheFolder, kPathCapacity - last - 1);
    append_wide_bounded(elevated_template, stored + last, kPathCapacity);
    return true;
}

// Makes the folder that holds the elevated runs' cache folders, or finds it,
// and whether it is Administrators' alone: made by an elevated run, or one a
// standard process put in its place.
bool elevated_cache_is_safe() {
    wchar_t folder[kPathCapacity];
    if (!make_elevated_template() || !expand_path_template(folder, elevated_template, kPathCapacity)) return false;
    wchar_t *last = last_backslash(folder);
    if (last == nullptr) return false;
    *last = 0;
    RunningUser user;
    if (!read_running_user(user)) return false;
    DWORD error = create_protected_folder(folder, user);
    return (error == 0 || error == ERROR_ALREADY_EXISTS) && folder_is_administrators_alone(folder);
}

}  // namespace

void choose_target_template() {
    elevated_cache = false;
    protect_for_elevated_cache(false);
    unpacks_fresh = false;
    if (!stored_cached_mode() || !runs_elevated()) return;
    // Checked at every start: a folder that fails is left alone, and this
    // run unpacks afresh as the default mode does.
    protect_for_elevated_cache(true);
    elevated_cache = elevated_cache_is_safe();
    protect_for_elevated_cache(elevated_cache);
    unpacks_fresh = !elevated_cache;
}

bool run_uses_cache() { return stored_cached_mode() && !unpacks_fresh; }

const wchar_t *target_template() {
    if (unpacks_fresh) return L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";
    return elevated_cache ? elevated_template : build_target_template();
}
