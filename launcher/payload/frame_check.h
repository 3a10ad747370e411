// Testing each frame's content checksum as the reader decodes: every decoder
// call's output is hashed on the reader's thread while it is still in the
// cache. (A thread of its own for the hash was tried: handing each window
// over cost more than the hash itself once other work kept both cores busy.)
#pragma once

#include <stddef.h>
#include <stdint.h>

// What one decoder call wrote, and where it stands in its frame.
struct DecodedPiece {
    const unsigned char *bytes;
    size_t size;
    bool frame_starts;  // the first call of a frame: its hash starts afresh
    bool frame_checked; // the frame carries a content checksum
    bool frame_ends;    // the frame ended with this call
    uint32_t stored;    // its stored checksum, when it ended and carries one
};

// Starts the checks of a payload afresh.
void begin_frame_checks();

// Hashes what the last decoder call wrote; at a frame's end, compares the
// hash with the frame's stored checksum.
void check_decoded_piece(const DecodedPiece &piece);

// False when a frame's content did not hash to its stored checksum.
bool frame_checks_hold();
