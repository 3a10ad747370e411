// The stored payload as the packer puts it into the executable's read-only
// data: its first byte and its size, fixed when the executable is written.
// The launcher never searches for it. The executable's slots provide them
// (launcher/run/image_slots.cpp); tests and fuzz targets provide their own.
#pragma once

#include "contract/contract.h"

// The stored payload's first byte.
const unsigned char* stored_payload_start();
// The stored payload's size in bytes.
unsigned long long stored_payload_size();

// Whether the executable was packed to unpack once into a folder that later
// starts reuse (the cached mode).
bool stored_cached_mode();
// The cached mode's file table (contract.h gives its layout), or null.
const unsigned char* stored_file_table();
// Whether a parent shows a progress window while unpacking takes long.
bool stored_progress_window();
// Bytes of the entries' data, which unpacking writes; 0 when not known.
unsigned long long stored_unpacked_size();
