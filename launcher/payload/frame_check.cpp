// The content checksum's hash, piece by piece, on the reader's thread.
#include "payload/frame_check.h"

#include "payload/content_hash.h"

namespace {

ContentHash hash;
bool mismatch;

}  // namespace

void begin_frame_checks() { mismatch = false; }

void check_decoded_piece(const DecodedPiece &piece) {
    if (piece.frame_starts) content_hash_reset(&hash);
    if (!piece.frame_checked) return;
    content_hash_update(&hash, piece.bytes, piece.size);
    if (piece.frame_ends && static_cast<uint32_t>(content_hash_digest(&hash)) != piece.stored) mismatch = true;
}

bool frame_checks_hold() { return !mismatch; }
