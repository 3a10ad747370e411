// Streaming reader over the stored payload's zstd frame.
#include "payload/reader.h"

#include <stdlib.h>
#include <string.h>
#define ZSTD_STATIC_LINKING_ONLY  // the frame header's checksum flag, and leaving its test to us
#include <zstd.h>

#include "payload/frame_check.h"
#include "payload/slots.h"
#include "payload/stored.h"
#include "system/syscalls.h"

namespace {

ZSTD_DCtx *decoder;
ZSTD_inBuffer input;
unsigned char *own_window;
// The window the last decoder call filled: pos = fill level while reading;
// read_position tracks what was handed out.
ZSTD_outBuffer window;
size_t read_position;
uint64_t decoder_calls;
// The last decoder call's result: 0 once a frame has ended and every byte is
// in the window.
size_t frame_left;
bool frame_starting;  // the next decoder call begins a frame
bool frame_checked;   // the frame being decoded carries a content checksum

// Whether a decoder call may give more: input is left, or the last call
// filled the window and may have left output inside the decoder even with
// no input left.
bool decoder_may_give_more() { return input.pos < input.size || window.pos == kPayloadWindowSize; }

// One decoder call into the window, from its start; false when the decoder fails.
bool refill_window() {
    window = {own_window, kPayloadWindowSize, 0};
    read_position = 0;
    DecodedPiece piece{own_window, 0, frame_starting, false, false, 0};
    if (frame_starting) {
        // The decoder reads this same header; a damaged one fails there.
        ZSTD_frameHeader header;
        const auto *at = static_cast<const unsigned char *>(input.src) + input.pos;
        frame_checked = ZSTD_getFrameHeader(&header, at, input.size - input.pos) == 0 && header.checksumFlag != 0;
        frame_starting = false;
    }
    piece.frame_checked = frame_checked;
    ++decoder_calls;
    size_t result = ZSTD_decompressStream(decoder, &window, &input);
    if (ZSTD_isError(result)) return false;
    frame_left = result;
    piece.size = window.pos;
    if (result == 0) {
        // A frame's checksum is its last 4 bytes, and nothing after them is
        // taken before the next call begins the next frame.
        piece.frame_ends = true;
        if (frame_checked) piece.stored = read_le32(static_cast<const unsigned char *>(input.src) + input.pos - 4);
        frame_starting = true;
    }
    check_decoded_piece(piece);
    return true;
}

}  // namespace

PayloadStatus open_payload_at(const unsigned char *start, uint64_t stored_size) {
    if (stored_size < kPayloadMarkerSize || memcmp(start, kPayloadMarker, kPayloadMarkerSize) != 0)
        return PayloadStatus::no_marker;
    own_window = static_cast<unsigned char *>(sys.malloc(kPayloadWindowSize));
    if (own_window == nullptr) return PayloadStatus::no_memory;
    window = {own_window, kPayloadWindowSize, 0};
    read_position = 0;
    frame_left = 1;
    frame_starting = true;
    begin_frame_checks();
    decoder = reinterpret_cast<ZSTD_DCtx *>(sys.ZSTD_createDCtx());
    if (decoder == nullptr) return PayloadStatus::no_memory;
    // The checksum is tested as the reader decodes (payload/frame_check.h),
    // where the bytes are in the cache. A decoder that refused this would
    // test it as well, to the same verdict.
    ZSTD_DCtx_setParameter(decoder, ZSTD_d_forceIgnoreChecksum, ZSTD_d_ignoreChecksum);
    input = {start + kPayloadMarkerSize, static_cast<size_t>(stored_size - kPayloadMarkerSize), 0};
    return PayloadStatus::ok;
}

PayloadStatus open_payload() { return open_payload_at(stored_payload_start(), stored_payload_size()); }

PayloadStatus read_payload_bytes(void *destination, uint64_t count) {
    auto *out = static_cast<unsigned char *>(destination);
    while (count > 0) {
        size_t unread = window.pos - read_position;
        if (unread > 0) {
            size_t n = count < unread ? static_cast<size_t>(count) : unread;
            memcpy(out, static_cast<unsigned char *>(window.dst) + read_position, n);
            read_position += n;
            out += n;
            count -= n;
            continue;
        }
        if (decoder_may_give_more()) {
            if (!refill_window()) return PayloadStatus::damaged;
            continue;
        }
        // Input used up and the decoder holds nothing more: the stream ended
        // (or its blocks ran into the trailer) before the caller's request.
        return PayloadStatus::damaged;
    }
    return PayloadStatus::ok;
}

PayloadStatus take_payload_bytes(uint64_t count, const unsigned char **bytes) {
    *bytes = nullptr;
    if (count == 0) return PayloadStatus::ok;
    if (window.pos == read_position && decoder_may_give_more() && !refill_window()) return PayloadStatus::damaged;
    if (window.pos - read_position < count) return PayloadStatus::ok;
    *bytes = static_cast<const unsigned char *>(window.dst) + read_position;
    read_position += static_cast<size_t>(count);
    return PayloadStatus::ok;
}

PayloadStatus finish_payload_frame() {
    while (frame_left != 0) {
        // The decoder ended its last call short of a full window with all
        // input taken: the frame runs into the end of the stored payload.
        if (!decoder_may_give_more()) return PayloadStatus::damaged;
        if (!refill_window()) return PayloadStatus::damaged;
    }
    return frame_checks_hold() ? PayloadStatus::ok : PayloadStatus::damaged;
}

void close_payload() {
    sys.ZSTD_freeDCtx(decoder);
    sys.free(own_window);
    decoder = nullptr;
    own_window = nullptr;
    window.dst = nullptr;
}

uint64_t payload_decoder_calls() { return decoder_calls; }
