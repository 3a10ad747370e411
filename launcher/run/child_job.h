// The job object that ends the child when its parent ends, however it ends.
#pragma once

#include "system/syscalls.h"

// A job that ends its processes when its last handle closes (the parent's,
// at the parent's exit, a hard kill included) and lets the processes they
// start break away silently. Not inheritable, so the child never holds it.
// Gives nullptr when the launcher already runs in a job, which then governs
// its child, or when the system refuses it.
HANDLE create_child_job();

// Puts `child` in `job` (which may be nullptr). When the system refuses (the
// launcher runs in a job that allows no nesting or breakaway), the job is
// closed and the child runs as before: nothing is reported.
void tie_child_to_job(HANDLE job, HANDLE child);
