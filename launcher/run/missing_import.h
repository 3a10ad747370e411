// What the user's machine lacks when the entry DLL cannot be loaded: the
// system's message (126 "The specified module could not be found", 127 "The
// specified procedure could not be found") names nothing, and the packer
// cannot know, when it packs, which DLLs another machine holds.
#pragma once

#include <stddef.h>

// At most this many modules are read, and this many names (DLLs and
// functions together) looked at, whatever the import tables say.
constexpr int kMaxImportModules = 32;
constexpr int kMaxImportNames = 4096;

// Follows the static imports of `library_path` and of the packed DLLs it
// leads to, as the loader would look for them (the library's folder, then
// the system folder), and writes into `line` (of `capacity` bytes, ending in
// a line feed) the first DLL that neither holds, or, for 127, the first
// function a DLL does not export. False, with nothing written, when nothing
// is found missing or a file could not be read as a well-formed image: every
// size and offset is checked against the file before it is used.
bool describe_missing_import(const wchar_t *library_path, long error, char *line, size_t capacity);
