// Which template the target folder is expanded from: the run sequence
// expands it, the child's launch sweeps the leftovers named like it.
#pragma once

// The folder beside the user's cache folders that holds the elevated and
// SYSTEM runs' own: Administrators own it, it carries the run's label, and
// the user's standard processes may only read it.
constexpr wchar_t kElevatedCacheFolder[] = L"elevated";

// Decides once per run where a run packed with --cache unpacks: a standard
// run into the stored template's folder; an elevated or SYSTEM run, whose
// folder a standard process of the user must not be able to write, into
// its own under kElevatedCacheFolder, made or checked (owner, label, access
// list) now; when that check fails, afresh as the default mode does. Both
// roles decide alike, from the token they share.
void choose_target_template();

// True when this run is of an executable packed with --cache and keeps to
// the cached mode (choose_target_template() decided so).
bool run_uses_cache();

// The stored template, an elevated run's cache template, or, for a run that
// unpacks afresh, the default mode's (a fresh folder, removed at the end).
const wchar_t *target_template();
