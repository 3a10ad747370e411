// Extraction: the target directory, the created-directory cache and the entry loop.
#pragma once

#include <stdint.h>

#include "system/syscalls.h"

// Replaces the target directory by its full path; a failure or a path of 4096
// units or more ends the process with the abort.
void make_absolute_path();

// True when the directory exists afterwards: created, found existing, known
// from the cache, or a drive designator such as "C:".
bool create_directory_cached(const wchar_t *path);

// Creates every missing directory above the file `path`; true when the file's
// directory exists afterwards.
bool create_parent_directories(const wchar_t *path);

// How the entry loop ended; only `end_record` and `first_entry` are not failures.
enum class EntryLoopEnding {
    end_record,    // a parent wrote every entry
    first_entry,   // a re-entered child reached the first entry: `path` is the library
    damaged,       // the stream cannot be decoded, or a name is over long or leaves the folder
    cannot_open,   // the file `path` cannot be created
    foreign_entry, // something in the target folder `path` is a link, or not what the payload needs
    cannot_write,  // writing or closing a file failed for the reason `error`
    stopped,       // stop_entry_loop asked it to stop: no file is left open
};

struct EntryLoopResult {
    EntryLoopEnding ending;
    const wchar_t *path;  // first_entry, cannot_open, foreign_entry
    DWORD error;          // cannot_write: the system's code, never 0; cannot_open: the system's code
};

// True for a failure for lack of space (112, 39): what was unpacked is
// removed before the report, so that a full disk is left as it was found.
bool failed_for_lack_of_space(const EntryLoopResult &result);

// Reads the payload's entries over an open payload. A parent writes each
// below the target directory until the end record, where the frame is
// decoded to its end (its checksum tested) and the payload closed; a re-entered child stops
// at the first entry, whose full path it records and gives back. Files are
// closed on a few threads (unpack/closing.h), all of them before it returns;
// whatever they did, the first failing entry in payload order decides the result.
EntryLoopResult extract_payload(bool reentered);

// From any thread: asks the entry loop to stop before its next entry or
// chunk, for good, and waits up to `wait_ms` until it has stopped with every
// file it opened closed. False when it was still running at the end of the wait.
bool stop_entry_loop(DWORD wait_ms);

// Bytes of file data the entry loop has written so far; any thread may ask.
uint64_t unpacked_bytes();

// Number of directory names the cache holds (tests).
int created_directory_count();
