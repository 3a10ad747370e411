// Failure reporting: one line on a standard stream, then exit code 2, or the
// fail-fast abort. None of these returns.
#pragma once

// Writes `message` and a line feed to standard output; exits with code 2.
[[noreturn]] void report_fatal(const char *message);

// Writes "<message> ([Error <code>] <system text>)" to standard error; exits with code 2.
[[noreturn]] void report_fatal_with_code(const char *message, long code);

// Writes "Error, failed to open '<entry path>' for writing." to standard error; exits with code 2.
[[noreturn]] void report_open_failure();

// Writes "Error, couldn't runtime expand spec '<template>'." to standard error; aborts.
[[noreturn]] void report_expansion_failure(const wchar_t *path_template);
