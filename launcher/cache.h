// The cached mode (packed with --cache): the payload is unpacked once into the
// folder its id names, and later starts reuse that folder.
#pragma once

#include "paths/arguments.h"

// Makes sure the cache folder (the expanded target directory) holds every
// file of the payload with its size, unpacking into a temporary sibling and
// publishing it by a rename when it does not; removes older ids' folders and
// leftovers that no process uses; then hands the process to the library.
// Gives the application's exit code. Failures end the process with the
// launcher's messages, leaving no partial folder at the published path.
unsigned run_cached(const ArgumentVector &arguments);

// True when `name` is a cache folder's name: 16 lowercase hex digits.
bool is_payload_id(const wchar_t *name);
