// Which template the target folder is expanded from: the run sequence
// expands it, the child's launch sweeps the leftovers named like it.
#pragma once

// Decides once per run whether it unpacks afresh although packed with
// --cache: an elevated or SYSTEM run does, since a standard process of the
// user could have written the cache folder. Both roles decide alike, from
// the token they share.
void choose_target_template();

// True when this run is of an executable packed with --cache and keeps to
// the cached mode (choose_target_template() decided so).
bool run_uses_cache();

// The stored template, or, for a run that unpacks afresh, the default mode's
// (a fresh folder, removed at the end).
const wchar_t *target_template();
