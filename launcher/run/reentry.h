// The two roles: a parent started by the user, or a re-entered child started
// by a live launcher process of the same executable file.
#pragma once

// True when TARVEN_ONEFILE_PARENT names a live process running this very
// executable file (compared in canonical form). Every failure means false.
bool detect_reentry();

// A parent's environment before expansion: the cached template values are
// removed and TARVEN_ONEFILE_PARENT is set to this process's id.
void prepare_parent_environment();

// Loads the payload's first file as a library, with the target directory
// among its dependencies' folders, and gives the result of its run_code.
// A library that cannot be loaded or lacks run_code ends the process with a message.
int hand_off_to_library(const wchar_t *target, const wchar_t *library_path, int argc, wchar_t **argv);
