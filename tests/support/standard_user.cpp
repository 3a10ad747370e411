// The end-to-end and injection tests run the launcher as a standard user's
// session would. Wine gives every process a full administrator's token, and
// an elevated launcher uses only a cache folder that Administrators own and
// its label protects, which Wine, keeping neither, never shows: it unpacks
// afresh at every start. So before main, a test process holding a
// full token starts itself again with the token's linked standard one and
// ends with that process's exit code; elsewhere it does nothing.
#include <windows.h>

#include <stdio.h>

#include "tests/support/wine_starts.h"

namespace {

HANDLE linked_standard_token() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD length = 0;
    bool full = GetTokenInformation(token, TokenElevationType, &type, sizeof type, &length) &&
                type == TokenElevationTypeFull;
    bool got = full && GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &length);
    CloseHandle(token);
    if (!got) return nullptr;
    HANDLE primary = nullptr;
    if (!DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &primary))
        primary = nullptr;
    CloseHandle(linked.LinkedToken);
    return primary;
}

struct StandardUser {
    StandardUser() {
        HANDLE token = linked_standard_token();
        if (token == nullptr) return;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION process = {};
        BOOL started = create_process_despite_wine([&] {
            return CreateProcessAsUserW(token, nullptr, GetCommandLineW(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &process);
        });
        if (!started) {
            fprintf(stderr, "cannot start the tests as a standard user (error %lu)\n", GetLastError());
            ExitProcess(3);
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 3;
        GetExitCodeProcess(process.hProcess, &code);
        ExitProcess(code);
    }
};

// Before every other static object: the test runner's start mark
// (started_mark.cpp) is the restarted process's to make.
StandardUser standard_user __attribute__((init_priority(1000)));

}  // namespace
