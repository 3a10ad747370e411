// The target template's choice between the stored one and the default
// mode's; see target_choice.h.
#include "run/target_choice.h"

#include "paths/build_texts.h"
#include "payload/stored.h"
#include "removal/target_folder.h"

namespace {

bool unpacks_fresh;

}  // namespace

void choose_target_template() { unpacks_fresh = stored_cached_mode() && runs_elevated(); }

bool run_uses_cache() { return stored_cached_mode() && !unpacks_fresh; }

const wchar_t *target_template() {
    return unpacks_fresh ? L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}" : build_target_template();
}
