// Outcome capture over the system-call table (see seam.h).
#include "launcher/tests/support/seam.h"

#include <windows.h>

#include "launcher/tests/support/guard.h"

namespace {

void run_function(void *body) { (*static_cast<const std::function<void()> *>(body))(); }

}  // namespace

Outcome capture(const std::function<void()> &body) {
    return run_guarded(run_function, const_cast<std::function<void()> *>(&body));
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
