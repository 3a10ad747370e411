// Testing each frame's content checksum beside the decoding. The reader hands
// over what every decoder call wrote; the hash runs on a thread of its own
// once a payload is more than a few windows long, so the decoding thread pays
// only for handing over. Until then, and wherever that thread cannot start
// (no memory, no thread), the hash runs on the reader's thread.
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

// Starts the checks of a payload whose reader decodes into `first_window`
// (kPayloadWindowSize bytes, the reader's own) until more are handed out.
void begin_frame_checks(unsigned char *first_window);

// The window the next decoder call may fill: none of its bytes wait for the
// hash any more. Gives the first window until the hash has a thread.
unsigned char *next_decoding_window();

// Hands over what the last decoder call wrote into the window
// next_decoding_window() gave; the bytes stay as they are until the next
// window is asked for.
void check_decoded_piece(const DecodedPiece &piece);

// Waits for every piece handed over; gives false when a frame's content did
// not hash to its stored checksum.
bool frame_checks_hold();

// Ends the hashing thread and releases the windows the checks added; again,
// does nothing.
void end_frame_checks();
