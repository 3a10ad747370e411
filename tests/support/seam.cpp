// Outcome capture over the system-call table (see seam.h).
#include "tests/support/seam.h"

#include <windows.h>

namespace {

void *jump_buffer[5];
Outcome *current;

[[noreturn]] void fake_exit(int code) {
    current->ending = Ending::exited;
    current->exit_code = code;
    __builtin_longjmp(jump_buffer, 1);
}

[[noreturn]] void fake_fail_fast() {
    current->ending = Ending::aborted;
    __builtin_longjmp(jump_buffer, 1);
}

void fake_write(int stream, const char *text) {
    (stream == 1 ? current->standard_output : current->standard_error) += text;
}

// Kept apart from `capture` so that the jump lands in a frame of its own.
__attribute__((noinline)) void run_guarded(const std::function<void()> *body) {
    if (__builtin_setjmp(jump_buffer) == 0) {
        (*body)();
        current->ending = Ending::returned;
    }
}

}  // namespace

Outcome capture(const std::function<void()> &body) {
    Outcome outcome;
    current = &outcome;
    SystemCalls saved = sys;
    sys.exit_process = fake_exit;
    sys.fail_fast = fake_fail_fast;
    sys.write_text = fake_write;
    run_guarded(&body);
    sys.exit_process = saved.exit_process;
    sys.fail_fast = saved.fail_fast;
    sys.write_text = saved.write_text;
    current = nullptr;
    return outcome;
}

void SeamTest::TearDown() { sys = real_sys; }

void set_variable(const wchar_t *name, const wchar_t *value) { SetEnvironmentVariableW(name, value); }

std::wstring variable(const wchar_t *name) {
    wchar_t buffer[32768];
    DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
    return n == 0 || n >= 32768 ? std::wstring() : std::wstring(buffer, n);
}

bool has_variable(const wchar_t *name) {
    wchar_t buffer[2];
    return GetEnvironmentVariableW(name, buffer, 2) != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}
