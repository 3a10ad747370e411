// Extraction: the target directory, the created-directory cache and the entry loop.
#pragma once

#include "paths/arguments.h"

// Replaces the target directory by its full path; a failure or a path of 4096
// units or more ends the process with the abort.
void make_absolute_path();

// True when the directory exists afterwards: created, found existing, known
// from the cache, or a drive designator such as "C:".
bool create_directory_cached(const wchar_t *path);

// Creates every missing directory above the file `path`; true when the file's
// directory exists afterwards.
bool create_parent_directories(const wchar_t *path);

// Reads the payload's entries. A parent writes each below the target
// directory and gives -1 when the end record is reached; a re-entered child
// stops at the first entry and gives the library's exit code.
long long extract_payload(bool reentered, const ArgumentVector &arguments);

// Number of directory names the cache holds, and emptying it (tests).
int created_directory_count();
void forget_created_directories();
