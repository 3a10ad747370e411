// Path templates: wide texts with {NAME} references expanded at run time.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Expands `path_template` into `output`, whose capacity counts units including
// the terminator. Gives true when the whole template expanded; false for an
// unknown or empty name, a stray '}', a name over 1023 units, a literal that
// would not fit, or a folder the system cannot give. The output always holds a
// terminated text (the part expanded before a failure). A value that does not
// fit, or a malformed TARVEN_ONEFILE_PARENT, ends the process with the abort.
bool expand_path_template(wchar_t *output, const wchar_t *path_template, size_t capacity);

// Appends the shell folder `csidl` (current path, not created) to the text in
// `output`; false, with the output untouched, when the system cannot give it.
// A path that does not fit ends the process with the abort.
bool append_known_folder(wchar_t *output, int csidl, size_t capacity);

// The eleven base64url characters that the random generator makes from `seed`
// (a seed of 0 counts as 1), NUL-terminated.
void random_text_from_seed(uint32_t seed, wchar_t text[12]);
