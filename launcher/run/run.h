// The run sequence, from process entry to exit code.
#pragma once

#include "paths/arguments.h"

// Runs the launcher with the runtime's argument vector; gives the exit code.
unsigned run_launcher(const ArgumentVector &arguments);

