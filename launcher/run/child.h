// The parent's hand-over to a second instance of its own executable.
#pragma once

// Publishes TARVEN_ONEFILE_DIRECTORY and TARVEN_ORIGINAL_ARGV0, starts the
// child with the rebuilt command line, waits for it without limit, runs the
// clean-up and gives the child's exit code (1 when it cannot be read).
unsigned launch_child_and_wait();

// Publishes TARVEN_ONEFILE_DIRECTORY (the executable's folder) and
// TARVEN_ORIGINAL_ARGV0 for the application.
void set_hand_off_variables();

// The module path, quoted where it needs it, followed by the process's own
// command line after its first element, unchanged, with a space between the
// two when that tail starts with anything but a space or a tab. A line over
// 32767 units ends the process with the abort.
wchar_t *build_child_command_line();

// Where the first element of a command line ends, by the rules the runtimes
// and the system's splitting share: a quoted one at its next quote, an
// unquoted one at the first space or tab.
const wchar_t *after_first_element(const wchar_t *line);
