// Bounded wide-text moves: every copy or append into a fixed wide buffer goes
// through these, so a text that does not fit ends the process before anything
// is written past the buffer's capacity (counted in UTF-16 units, terminator
// included).
#pragma once

#include <stddef.h>

// Number of units before the terminator.
size_t wide_length(const wchar_t *text);

// Copies `source` to `destination`, front to back, then terminates it. The
// source may start further on in the same buffer (removing a prefix in place).
// A source of `capacity` units or more ends the process with the fail-fast abort.
void copy_wide_bounded(wchar_t *destination, const wchar_t *source, size_t capacity);

// Whether the two texts are equal unit for unit (no case folding).
bool same_wide_text(const wchar_t *a, const wchar_t *b);

// The last backslash in `text`, or null when it has none.
wchar_t *last_backslash(wchar_t *text);

// Appends `source` to the text already in `destination`. When the source and
// the terminator do not fit into the room left, ends the process with the abort.
void append_wide_bounded(wchar_t *destination, const wchar_t *source, size_t capacity);
