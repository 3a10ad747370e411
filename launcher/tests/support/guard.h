// The one guard for launcher code that ends the process: the unit tests'
// `capture` and the fuzz targets both run their code through it.
#pragma once

#include "tests/support/outcome.h"

// Runs `body(context)` with the table's exit, abort and output hooks replaced:
// a report or an abort jumps back out of it and comes back as the outcome; the
// hooks are put back afterwards. The code it runs must hold no objects with
// destructors between here and the jump.
Outcome run_guarded(void (*body)(void *), void *context);
