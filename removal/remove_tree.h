// Removal of a directory with everything below it, for paths of any length.
#pragma once

// Deletes the files and folders below `directory` (an absolute path), then the
// directory itself, as far as the system allows; what is held open stays.
// Links to folders are removed, never followed. Once `*stop` is set the
// removal ends before its next entry, leaving the rest in place.
void remove_directory_tree(const wchar_t *directory, const volatile bool *stop = nullptr);

// True for the "." and ".." entries a folder's listing gives.
bool is_dot_entry(const wchar_t *name);
