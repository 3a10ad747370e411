// The run sequence, from process entry to exit code.
#pragma once

#include "paths/arguments.h"

// Runs the launcher with the runtime's argument vector; gives the exit code.
unsigned run_launcher(const ArgumentVector &arguments);

// The template the target folder is expanded from: the stored one, or, for an
// elevated or SYSTEM run of an executable packed with --cache, the default
// mode's (a fresh folder, removed at the end).
const wchar_t *target_template();
