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

}  // namespace

PayloadStatus open_payload_at(const unsigned char *start, uint64_t stored_size) {
    if (stored_size < kPayloadMarkerSize || memcmp(start, kPayloadMarker, kPayloadMarkerSize) != 0)
        return PayloadStatus::no_marker;
    void *buffer = sys.malloc(kPayloadWindowSize);
    if (buffer == nullptr) return PayloadStatus::no_memory;
    window = {buffer, kPayloadWindowSize, 0};
    read_position = 0;
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
            window.size = kPayloadWindowSize;
            window.pos = 0;
            read_position = 0;
            ++decoder_calls;
            size_t result = ZSTD_decompressStream(decoder, &window, &input);
            if (ZSTD_isError(result)) return PayloadStatus::damaged;
            continue;
        }
        // Input used up and the decoder holds nothing more: the stream ended
        // (or its blocks ran into the trailer) before the caller's request.
        return PayloadStatus::damaged;
    }
    return PayloadStatus::ok;
}

void close_payload() {
    ZSTD_freeDCtx(decoder);
    free(window.dst);
}

uint64_t payload_decoder_calls() { return decoder_calls; }
