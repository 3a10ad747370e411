// Reading the executable's slots (contract/contract.h) against the image they
// sit in. A damaged executable can make a slot point anywhere: nothing is
// read through one before it is known to lie inside the image.
#pragma once

#include <stddef.h>
#include <stdint.h>

// What the slots give, each inside the image.
struct SlotsView {
    const unsigned char *payload;  // the stored payload, or null when the slot is unfilled
    uint64_t payload_size;
    // The target template, company, product, version and payload id: UTF-16LE,
    // each ending with a zero unit inside the image; null when unfilled.
    const unsigned char *texts[5];
    bool cached;
    // A progress window while unpacking takes long, and the bytes it counts to.
    bool progress_window;
    uint64_t unpacked_size;
    // The cached mode's file table and the bytes from it to the image's end,
    // within which the table must lie (file_table_is_sound() tells).
    const unsigned char *file_table;
    uint64_t file_table_bytes;
};

// Fills `view` from the slots that start at `slots` (kSlotsSize bytes inside
// the image of `image_size` bytes at `image`). False when they are damaged:
// not the slots' magic, the payload past the image's end, a text without its
// zero unit inside the image, a cached executable without a file table.
bool read_slots(const unsigned char *image, uint64_t image_size, const unsigned char *slots, SlotsView *view);

// The little-endian values the packer writes, read byte by byte: the slots
// and the cached mode's file table need not be aligned.
uint32_t read_le32(const unsigned char *at);
uint64_t read_le64(const unsigned char *at);
