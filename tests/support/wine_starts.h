// Starting a process in the tests under Wine 8, whose process creation now
// and then fails with ERROR_INTERNAL_ERROR: the new process ends in Wine's
// own start-up, before the program runs at all, most often with many
// starting at once. Windows does not fail so; the tests are about what the
// programs do once started.
#pragma once

#include <windows.h>

// Calls `create` (one CreateProcess call, which gives a BOOL) until it
// succeeds, fails otherwise, or has failed so three times; gives its last result.
template <typename Create>
BOOL create_process_despite_wine(Create create) {
    BOOL created = FALSE;
    for (int attempt = 0; attempt < 3 && !created; ++attempt) {
        created = create();
        if (!created && GetLastError() != ERROR_INTERNAL_ERROR) break;
    }
    return created;
}
