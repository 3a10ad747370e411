// Executable path identity: the canonical form in which two paths to one
// executable file compare equal (links resolved, \\?\ prefixes removed, the
// folders on the way in their short form).
#pragma once

#include <stddef.h>

// Copies `source` to `destination` and, when `resolve` is set, replaces it by
// the final path the system reports for the opened file, a \\?\X: prefix
// removed and \\?\UNC\ turned into \\. Both may be the same buffer. A final
// path that does not fit ends the process with the abort.
void resolve_final_path(wchar_t *destination, const wchar_t *source, size_t capacity, bool resolve);

// Rewrites the folders of `path` in their short form in place; the last
// component keeps its long name. A folder that does not exist leaves the path unchanged.
void to_short_path_form(wchar_t *path, size_t capacity);

// The launcher's own executable path, plain (as the system reports it) or
// canonical; computed once, then the same pointer for the life of the process.
const wchar_t *own_executable_path(bool canonical);

// Empties both caches, so that the next request computes its form again (tests).
void forget_own_executable_paths();
