// Failure reporting: one line on a standard stream, then exit code 2, or the
// fail-fast abort. None of these returns.
#pragma once

#include "unpack/extract.h"
#include "payload/reader.h"

// Writes `message` and a line feed to standard output; exits with code 2.
[[noreturn]] void report_fatal(const char *message);

// Writes "<message> ([Error <code>] <system text>)" to standard error, then
// `next_line` (ending in a line feed) when given; exits with code 2.
[[noreturn]] void report_fatal_with_code(const char *message, long code, const char *next_line = nullptr);

// Writes "Error, failed to open '<path>' for writing." to standard error; exits with code 2.
[[noreturn]] void report_open_failure(const wchar_t *path);

// Writes "Error, target folder '<path>' is there already and not the user's alone."
// to standard error; exits with code 2.
[[noreturn]] void report_foreign_folder(const wchar_t *path);

// Writes "Error, couldn't runtime expand spec '<template>'." to standard error; aborts.
[[noreturn]] void report_expansion_failure(const wchar_t *path_template);

// The message and exit of a payload status other than `ok`.
[[noreturn]] void report_payload_failure(PayloadStatus status);

// The message and exit of an entry loop that ended in a failure.
[[noreturn]] void report_entry_loop_failure(const EntryLoopResult &result);
