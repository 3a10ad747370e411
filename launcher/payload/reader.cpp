// Streaming reader over the stored payload's zstd frame.
#include "payload/reader.h"

#include <stdlib.h>
#include <string.h>
#include <zstd.h>

#include "payload/stored.h"
#include "system/syscalls.h"

namespace {

ZSTD_DCtx *decoder;
ZSTD_inBuffer input;
ZSTD_outBuffer window;  // pos = fill level while reading; read_position tracks what was handed out
size_t read_position;
uint64_t decoder_calls;
// The last decoder call's result: 0 once a frame has ended, its checksum (if
// it carries one) tested and every byte handed to the window.
size_t frame_left;

// One decoder call into the emptied window; false when the decoder fails.
bool refill_window() {
    window.size = kPayloadWindowSize;
    window.pos = 0;
    read_position = 0;
    ++decoder_calls;
    size_t result = ZSTD_decompressStream(decoder, &window, &input);
    if (ZSTD_isError(result)) return false;
    frame_left = result;
    return true;
}

}  // namespace

PayloadStatus open_payload_at(const unsigned char *start, uint64_t stored_size) {
    if (stored_size < kPayloadMarkerSize || memcmp(start, kPayloadMarker, kPayloadMarkerSize) != 0)
        return PayloadStatus::no_marker;
    void *buffer = sys.malloc(kPayloadWindowSize);
    if (buffer == nullptr) return PayloadStatus::no_memory;
    window = {buffer, kPayloadWindowSize, 0};
    read_position = 0;
    frame_left = 1;
    decoder = reinterpret_cast<ZSTD_DCtx *>(sys.ZSTD_createDCtx());
    if (decoder == nullptr) return PayloadStatus::no_memory;
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
        // A call that filled the window, in this request or an earlier one,
        // may have left output inside the decoder even with no input left.
        if (input.pos < input.size || window.pos == kPayloadWindowSize) {
            if (!refill_window()) return PayloadStatus::damaged;
            continue;
        }
        // Input used up and the decoder holds nothing more: the stream ended
        // (or its blocks ran into the trailer) before the caller's request.
        return PayloadStatus::damaged;
    }
    return PayloadStatus::ok;
}

PayloadStatus finish_payload_frame() {
    while (frame_left != 0) {
        // The decoder ended its last call short of a full window with all
        // input taken: the frame runs into the end of the stored payload.
        if (input.pos == input.size && window.pos < kPayloadWindowSize) return PayloadStatus::damaged;
        if (!refill_window()) return PayloadStatus::damaged;
    }
    return PayloadStatus::ok;
}

void close_payload() {
    sys.ZSTD_freeDCtx(decoder);
    sys.free(window.dst);
    decoder = nullptr;
    window.dst = nullptr;
}

uint64_t payload_decoder_calls() { return decoder_calls; }
