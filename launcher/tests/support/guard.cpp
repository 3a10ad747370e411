// The guard for code that ends the process (see guard.h). Built for Windows
// with mingw-w64 and for the fuzz targets' Linux host with clang: the
// compiler's own setjmp and longjmp, which need no unwind tables; the GNU
// spelling of noreturn, which clang makes part of the hooks' type.
#include "launcher/tests/support/guard.h"

#include "system/syscalls.h"

namespace {

void *jump_buffer[5];
Outcome *current;

__attribute__((noreturn)) void guarded_exit(int code) {
    current->ending = Ending::exited;
    current->exit_code = code;
    __builtin_longjmp(jump_buffer, 1);
}

__attribute__((noreturn)) void guarded_fail_fast() {
    current->ending = Ending::aborted;
    __builtin_longjmp(jump_buffer, 1);
}

void guarded_write(int stream, const char *text) {
    (stream == 1 ? current->standard_output : current->standard_error) += text;
}

// Kept apart from run_guarded so that the jump lands in a frame of its own.
__attribute__((noinline)) void run_in_own_frame(void (*body)(void *), void *context) {
    if (__builtin_setjmp(jump_buffer) == 0) {
        body(context);
        current->ending = Ending::returned;
    }
}

}  // namespace

Outcome run_guarded(void (*body)(void *), void *context) {
    Outcome outcome;
    current = &outcome;
    auto saved_exit = sys.exit_process;
    auto saved_fail_fast = sys.fail_fast;
    auto saved_write = sys.write_text;
    sys.exit_process = guarded_exit;
    sys.fail_fast = guarded_fail_fast;
    sys.write_text = guarded_write;
    run_in_own_frame(body, context);
    sys.exit_process = saved_exit;
    sys.fail_fast = saved_fail_fast;
    sys.write_text = saved_write;
    current = nullptr;
    return outcome;
}
