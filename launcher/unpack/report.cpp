// The launcher's failure reports, written through the runtime's formatted output.
#include "unpack/report.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "unpack/state.h"  // the capacity of a path
#include "system/syscalls.h"

namespace {

// Room for the longest line: a 4096-unit path converted to narrow text.
char line[4 * 4096 + 256];
char unknown_error[] = "unknown error";
// A path or template as UTF-8: at most three bytes for each UTF-16 unit.
char narrow[3 * kPathCapacity + 1];

// Converts here rather than through the runtime's %ls, which stops at the
// first character outside its locale (any CJK name) and cuts the line short.
// A text beyond the room ends early; a lone surrogate becomes U+FFFD.
const char *utf8(const wchar_t *text) {
    size_t used = 0;
    for (size_t i = 0; text[i] != 0; ++i) {
        uint32_t c = static_cast<uint16_t>(text[i]);
        uint32_t next = static_cast<uint16_t>(text[i + 1]);
        if (c >= 0xD800 && c < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        size_t n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (used + n >= sizeof narrow) break;
        static const unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
        for (size_t k = n; k > 1; --k, c >>= 6) narrow[used + k - 1] = static_cast<char>(0x80 | (c & 0x3F));
        narrow[used] = static_cast<char>(n == 1 ? c : kLead[n] | c);
        used += n;
    }
    narrow[used] = 0;
    return narrow;
}

}  // namespace

void report_fatal(const char *message) {
    snprintf(line, sizeof line, "%s\n", message);
    sys.write_text(1, line);
    sys.exit_process(2);
}

void report_fatal_with_code(const char *message, long code, const char *next_line) {
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
    if (next_line != nullptr) sys.write_text(2, next_line);
    sys.exit_process(2);
}

void report_open_failure(const wchar_t *path) {
    snprintf(line, sizeof line, "Error, failed to open '%s' for writing.\n", utf8(path));
    sys.write_text(2, line);
    sys.exit_process(2);
}

void report_foreign_folder(const wchar_t *path) {
    snprintf(line, sizeof line, "Error, target folder '%s' is there already and not the user's alone.\n", utf8(path));
    sys.write_text(2, line);
    sys.exit_process(2);
}

void report_expansion_failure(const wchar_t *path_template) {
    snprintf(line, sizeof line, "Error, couldn't runtime expand spec '%s'.\n", utf8(path_template));
    sys.write_text(2, line);
    sys.fail_fast();
}

void report_payload_failure(PayloadStatus status) {
    switch (status) {
    case PayloadStatus::no_marker: report_fatal("Error, couldn't find attached data header.");
    case PayloadStatus::no_memory: report_fatal("Error, couldn't allocate memory.");
    case PayloadStatus::damaged:
    case PayloadStatus::ok: break;
    }
    report_fatal("Error, couldn't decode attached data.");
}

void report_entry_loop_failure(const EntryLoopResult &result) {
    switch (result.ending) {
    case EntryLoopEnding::cannot_open: report_open_failure(result.path);
    case EntryLoopEnding::foreign_entry: report_foreign_folder(result.path);
    case EntryLoopEnding::cannot_write:
        report_fatal_with_code("Error, couldn't unpack file to target path.", static_cast<long>(result.error));
    // Asked to stop by a console event, whose clean-up ends the process:
    // ended as the system ends it then, without a message. (The run
    // sequence waits for that clean-up first; the cached mode's unpacking
    // folder, should it be left, is removed by a later start.)
    case EntryLoopEnding::stopped: sys.exit_process(static_cast<int>(STATUS_CONTROL_C_EXIT));
    case EntryLoopEnding::damaged:
    case EntryLoopEnding::end_record:
    case EntryLoopEnding::first_entry: break;
    }
    report_fatal("Error, couldn't decode attached data.");
}
