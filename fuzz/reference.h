// The fuzz targets' reference for the payload reader: a stored payload's frame
// decoded by zstd directly, with the reader's call pattern, into one string.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Decompression bombs stay cheap: the reference stops here and judges no further.
constexpr size_t kReferenceCap = size_t{16} << 20;

struct DecodedStream {
    std::string bytes;    // what the decoder gives before its first error
    bool capped = false;  // stopped at the cap: the stream may go on
    std::vector<size_t> frame_ends;  // the stream's length each time a frame ended whole
    // The first frame whose content checksum does not match, as its place in
    // `frame_ends`; SIZE_MAX while every ended frame's holds. A place, not a
    // length: an empty frame ends where the frame before it did.
    size_t first_bad_checksum = SIZE_MAX;
};

// Decodes the frame after the three marker bytes of `stored` (`size` >= 3) as
// the reader does: every call gets a fresh window of the reader's size and all
// the input left, and calls go on while input remains or the window came back
// full; checksums do not stop it. The output of a call that fails is never handed out. `decoded` is
// emptied first and keeps its memory: a target passes the same one for every
// input, so that a stream of megabytes is not allocated and paged in anew each time.
void decode_reference(const uint8_t *stored, size_t size, DecodedStream &decoded);
