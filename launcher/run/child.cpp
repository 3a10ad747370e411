// Child launch: command line rebuilding, the launch, the wait and the exit code.
#include "run/child.h"

#include "run/child_job.h"
#include "run/cleanup.h"
#include "run/target_choice.h"
#include "progress/progress_window.h"
#include "unpack/report.h"
#include "unpack/state.h"
#include "removal/sweep.h"
#include "paths/arguments.h"
#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/identity.h"
#include "system/syscalls.h"

namespace {

wchar_t command_line[kCommandLineCapacity];
wchar_t module_path[kPathCapacity];
wchar_t launcher_directory[kOwnPathCapacity];

void fill_module_path() {
    if (module_path[0] != 0) return;
    // A truncated name is accepted as it is; only no name at all is fatal.
    if (sys.GetModuleFileNameW(nullptr, module_path, kPathCapacity) == 0) sys.fail_fast();
}

bool needs_quotes(const wchar_t *path) {
    for (; *path != 0; ++path)
        if (*path == L' ' || *path == L'\t' || *path == L'\n' || *path == L'\v' || *path == L'"') return true;
    return false;
}

void append_unit(wchar_t unit) {
    wchar_t text[2] = {unit, 0};
    append_wide_bounded(command_line, text, kCommandLineCapacity);
}

void append_backslashes(size_t count) {
    for (size_t i = 0; i < count; ++i) append_unit(L'\\');
}

// Quotes so that the system's splitting rules give the path back unchanged:
// backslashes are doubled only where a quote follows them.
void append_quoted(const wchar_t *path) {
    append_unit(L'"');
    for (const wchar_t *unit = path;; ++unit) {
        size_t backslashes = 0;
        while (*unit == L'\\') ++backslashes, ++unit;
        if (*unit == 0) {
            append_backslashes(2 * backslashes);
            break;
        }
        if (*unit == L'"') {
            append_backslashes(2 * backslashes + 1);
        } else {
            append_backslashes(backslashes);
        }
        append_unit(*unit);
    }
    append_unit(L'"');
}

}  // namespace

const wchar_t *after_first_element(const wchar_t *line) {
    if (*line == L'"') {
        ++line;
        while (*line != 0 && *line != L'"') ++line;
        return *line == L'"' ? line + 1 : line;
    }
    while (*line != 0 && *line != L' ' && *line != L'\t') ++line;
    return line;
}

// The user's line after its first element goes to the child unchanged: split
// and quoted again it would reach the application's runtime through a second
// parser, and where the two parsers disagree the application would get other
// arguments than the same program started plainly.
//
// A quoted first element may run on into text ("C:\x\app.exe"z w): such a
// tail, put after a module path without quotes, would lengthen the path, and
// the application's argv[0] would not be the executable. A space keeps them
// apart; a tail that starts with a space or a tab already has its separator.
wchar_t *build_child_command_line() {
    const wchar_t *typed = sys.GetCommandLineW();
    command_line[0] = 0;
    fill_module_path();
    if (needs_quotes(module_path)) append_quoted(module_path);
    else append_wide_bounded(command_line, module_path, kCommandLineCapacity);
    const wchar_t *tail = after_first_element(typed);
    if (*tail != 0 && *tail != L' ' && *tail != L'\t') append_unit(L' ');
    append_wide_bounded(command_line, tail, kCommandLineCapacity);
    return command_line;
}

void set_hand_off_variables() {
    copy_wide_bounded(launcher_directory, own_executable_path(false), kOwnPathCapacity);
    if (wchar_t *last = last_backslash(launcher_directory)) *last = 0;
    set_environment_value("TARVEN_ONEFILE_DIRECTORY", launcher_directory);
    if (process_arguments.count >= 1 && process_arguments.values != nullptr)
        set_environment_value("TARVEN_ORIGINAL_ARGV0", process_arguments.values[0]);
}

unsigned launch_child_and_wait() {
    set_hand_off_variables();
    fill_module_path();

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = sys.GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = sys.GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = sys.GetStdHandle(STD_ERROR_HANDLE);
    wchar_t *line = build_child_command_line();
    HANDLE job = create_child_job();
    PROCESS_INFORMATION child = {};
    if (!sys.CreateProcessW(module_path, line, /*process attributes*/ nullptr, /*thread attributes*/ nullptr,
                            /*inherit handles*/ TRUE, NORMAL_PRIORITY_CLASS, /*environment*/ nullptr,
                            /*current directory*/ nullptr, &startup, &child))
        report_fatal_with_code("Error, couldn't launch child", static_cast<long>(sys.GetLastError()));
    tie_child_to_job(job, child.hProcess);
    sys.CloseHandle(child.hThread);
    progress_follow_application(child.dwProcessId);
    share_child_process(child.hProcess);
    // While the child runs: folders that killed launchers left.
    start_leftover_sweep(launcher_state.target_directory, target_template());

    DWORD exit_code = 0;
    sys.WaitForSingleObject(child.hProcess, INFINITE);
    if (!sys.GetExitCodeProcess(child.hProcess, &exit_code)) exit_code = 1;
    release_shared_child_process();
    sys.CloseHandle(child.hProcess);
    stop_leftover_sweep();
    cleanup_at_exit();
    return exit_code;
}
