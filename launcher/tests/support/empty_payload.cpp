// A stored payload that is only its marker: the unit tests drive the reader
// over payloads of their own.
#include "payload/stored.h"

namespace {
const unsigned char marker_only[] = {'W', 'E', 'Q'};
}

const unsigned char* stored_payload_start() { return marker_only; }
unsigned long long stored_payload_size() { return sizeof marker_only; }
bool stored_cached_mode() { return false; }
const unsigned char* stored_file_table() { return nullptr; }
bool stored_progress_window() { return false; }
unsigned long long stored_unpacked_size() { return 0; }
