// Access to the process environment, through which a parent hands values to
// its re-entered child. Names are ASCII texts of at most 39 characters.
#pragma once

#include "system/syscalls.h"  // the Windows types, also in host builds

// Gives a new heap copy of the variable's value, owned by the caller, or null
// when the variable is absent, empty, or longer than the system allows.
wchar_t *get_environment_value(const char *name);

// Sets the variable for this process and the processes it starts; gives the system's flag.
BOOL set_environment_value(const char *name, const wchar_t *value);

// Removes the variable; gives the system's flag.
BOOL unset_environment_value(const char *name);

// Widens an ASCII/narrow text byte by byte into `destination` (capacity in units,
// terminator included); a byte that does not widen to one unit, or a text that
// does not fit, ends the process with the abort.
void widen_narrow_text(wchar_t *destination, const char *source, size_t capacity);

// A heap copy of `text`; an allocation failure ends the process with the abort.
wchar_t *duplicate_wide(const wchar_t *text);
