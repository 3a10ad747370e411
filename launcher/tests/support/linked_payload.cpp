// The stored payload of the injection tests: a real payload that
// injection_payload.S puts into the test program's read-only data. With a
// file table set, the launcher runs it in the cached mode.
#include "payload/stored.h"

extern "C" const unsigned char tarven_test_payload[];
extern "C" const unsigned long long tarven_test_payload_size;

const unsigned char *linked_file_table = nullptr;

const unsigned char* stored_payload_start() { return tarven_test_payload; }
unsigned long long stored_payload_size() { return tarven_test_payload_size; }
bool stored_cached_mode() { return linked_file_table != nullptr; }
const unsigned char* stored_file_table() { return linked_file_table; }
bool stored_progress_window() { return false; }
unsigned long long stored_unpacked_size() { return 0; }
