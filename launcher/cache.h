// The cached mode (packed with --cache): the payload is unpacked once into the
// folder its id names, and later starts reuse that folder.
#pragma once

#include "paths/arguments.h"

// Makes sure the cache folder (the expanded target directory) holds every
// file of the payload as it was unpacked, unpacking into a temporary sibling
// and publishing it by a rename when it does not; holds the folder it runs
// from; removes older versions' folders and leftovers that no process uses;
// then hands the process to the library.
// Gives the application's exit code. Failures end the process with the
// launcher's messages, leaving no partial folder at the published path.
// A re-entered start (the application starting its own executable again)
// runs from the folder its parent ran from, unchecked and without unpacking.
unsigned run_cached(const ArgumentVector &arguments, bool reentered);

// The marker a published folder holds: the full path, UTF-16LE without a
// terminator, of the executable that published it.
constexpr wchar_t kPublisherMarker[] = L".tarven-publisher";

// True when `name` is a cache folder's name: 16 lowercase hex digits.
bool is_payload_id(const wchar_t *name);
