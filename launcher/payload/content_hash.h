// The 64-bit hash zstd's frames carry as their content checksum (XXH64 with
// seed 0; a frame stores its low 32 bits, little-endian), computed over
// pieces of any size as they are decoded.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct ContentHash {
    uint64_t lanes[4];
    uint64_t total;             // bytes taken so far
    unsigned char pending[32];  // the start of a stripe not yet whole
    unsigned pending_size;
};

// Starts `hash` over an empty content.
void content_hash_reset(ContentHash *hash);

// Adds the next `size` bytes of the content.
void content_hash_update(ContentHash *hash, const void *bytes, size_t size);

// Gives the hash of all the content added since the reset; `hash` is left as it is.
uint64_t content_hash_digest(const ContentHash *hash);
