// The cached mode (packed with --cache): the payload is unpacked once into the
// folder its id names, and later starts reuse that folder.
#pragma once

// Makes sure the cache folder (the expanded target directory) holds every
// file of the payload as it was unpacked, unpacking into a temporary sibling
// and publishing it by a rename when it does not; holds the folder it gives
// and the entry library; removes older versions' folders and leftovers that
// no process uses; sets TARVEN_ONEFILE_FOLDER. Gives the folder the
// application runs from and, in `library`, its entry library's path; the
// run sequence hands the process to it. Failures end the process with the
// launcher's messages, leaving no partial folder at the published path.
// A re-entered start (the application starting its own executable again)
// gets the folder its parent ran from, unchecked and without unpacking.
// Null when the entry loop was stopped (the user closed the progress window,
// or a console event's clean-up asked): the caller ends the run, its
// clean-up removing the folder being unpacked.
const wchar_t *prepare_cached_folder(bool reentered, const wchar_t **library);

// The marker a published folder holds: the full path, UTF-16LE without a
// terminator, of the executable that published it.
constexpr wchar_t kPublisherMarker[] = L".tarven-publisher";

// True when `name` is a cache folder's name: 16 lowercase hex digits.
bool is_payload_id(const wchar_t *name);
