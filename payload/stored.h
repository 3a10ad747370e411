// The stored payload as the packer links it into the executable's read-only
// data: its first byte and its size. The launcher never searches for it.
#pragma once

extern "C" const unsigned char tarven_payload_start[];
extern "C" const unsigned long long tarven_payload_size;
