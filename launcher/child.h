// The parent's hand-over to a second instance of its own executable.
#pragma once

// Publishes TARVEN_ONEFILE_DIRECTORY and TARVEN_ORIGINAL_ARGV0, starts the
// child with the rebuilt command line, waits for it without limit, runs the
// clean-up and gives the child's exit code (1 when it cannot be read).
unsigned launch_child_and_wait();

// Publishes TARVEN_ONEFILE_DIRECTORY (the executable's folder) and
// TARVEN_ORIGINAL_ARGV0 for the application.
void set_hand_off_variables();

// The process's own command line with its first argument replaced by the
// module path, each argument re-quoted so that the child's runtime splits out
// the same arguments. A line over 32767 units ends the process with the abort.
wchar_t *build_child_command_line();
