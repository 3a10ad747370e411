// The launcher's failure reports, written through the runtime's formatted output.
#include "launcher/report.h"

#include <stdio.h>
#include <string.h>

#include "launcher/state.h"
#include "system/syscalls.h"

namespace {

// Room for the longest line: a 4096-unit path converted to narrow text.
char line[4 * 4096 + 256];
char unknown_error[] = "unknown error";

}  // namespace

void report_fatal(const char *message) {
    snprintf(line, sizeof line, "%s\n", message);
    sys.write_text(1, line);
    sys.exit_process(2);
}

void report_fatal_with_code(const char *message, long code) {
    char *text = nullptr;
    DWORD length = sys.FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                          FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                      nullptr, static_cast<DWORD>(code), 1033, reinterpret_cast<LPSTR>(&text), 0,
                                      nullptr);
    // The system may hold no English text for a code; the line keeps its shape.
    if (length == 0 || text == nullptr) text = unknown_error;
    for (char *last = text + strlen(text); last > text && (last[-1] == '\r' || last[-1] == '\n');) *--last = 0;
    snprintf(line, sizeof line, "%s ([Error %ld] %s)\n", message, code, text);
    sys.write_text(2, line);
    sys.exit_process(2);
}

void report_open_failure() {
    snprintf(line, sizeof line, "Error, failed to open '%ls' for writing.\n", entry_path);
    sys.write_text(2, line);
    sys.exit_process(2);
}

void report_expansion_failure(const wchar_t *path_template) {
    snprintf(line, sizeof line, "Error, couldn't runtime expand spec '%ls'.\n", path_template);
    sys.write_text(2, line);
    sys.fail_fast();
}
