// The names an executable carries (the payload's entries, the cached mode's
// file table), held to the rules the packer applied when it wrote them.
#pragma once

#include <stddef.h>

// True when the `units` units at `name` are a name the packer writes: 1 to
// kEntryNameMaxUnits units, relative, components separated by single
// backslashes, none empty, "." or "..", none holding a character Windows
// refuses in names (controls, NUL among them, and < > : " / | ? *), none
// ending in a dot or a space, none a device name (CON, NUL, COM1...).
bool entry_name_is_sound(const wchar_t *name, size_t units);
