// The reference decoding (see reference.h).
#include "fuzz/reference.h"

#define ZSTD_STATIC_LINKING_ONLY  // decoding past checksums, as the reader does
#include <zstd.h>

#include "contract/contract.h"
#include "payload/reader.h"

namespace {

// Whether the whole frame `frame` of `size` bytes decodes with zstd testing
// its checksum itself (a frame without one has nothing to fail).
bool frame_checksum_holds(const uint8_t *frame, size_t size) {
    static ZSTD_DCtx *checker = ZSTD_createDCtx();
    static std::string scratch(kPayloadWindowSize, '\0');
    ZSTD_DCtx_reset(checker, ZSTD_reset_session_and_parameters);
    ZSTD_inBuffer input = {frame, size, 0};
    for (;;) {
        ZSTD_outBuffer output = {scratch.data(), scratch.size(), 0};
        size_t result = ZSTD_decompressStream(checker, &output, &input);
        if (ZSTD_isError(result)) return false;
        if (result == 0) return true;
    }
}

}  // namespace

void decode_reference(const uint8_t *stored, size_t size, DecodedStream &decoded) {
    static ZSTD_DCtx *decoder = ZSTD_createDCtx();  // reused, as the reader's (see host_system.cpp)
    static std::string window(kPayloadWindowSize, '\0');
    ZSTD_DCtx_reset(decoder, ZSTD_reset_session_and_parameters);
    // The reader's stream does not stop at a checksum: its frame's test comes at the end record.
    ZSTD_DCtx_setParameter(decoder, ZSTD_d_forceIgnoreChecksum, ZSTD_d_ignoreChecksum);
    decoded.bytes.clear();
    decoded.capped = false;
    decoded.frame_ends.clear();
    decoded.first_bad_checksum = SIZE_MAX;
    ZSTD_inBuffer input = {stored + kPayloadMarkerSize, size - kPayloadMarkerSize, 0};
    size_t frame_start = 0;
    bool filled = false;
    while (input.pos < input.size || filled) {
        if (decoded.bytes.size() >= kReferenceCap) {
            decoded.capped = true;
            break;
        }
        ZSTD_outBuffer output = {window.data(), window.size(), 0};
        size_t result = ZSTD_decompressStream(decoder, &output, &input);
        if (ZSTD_isError(result)) break;
        decoded.bytes.append(window.data(), output.pos);
        if (result == 0) {
            decoded.frame_ends.push_back(decoded.bytes.size());
            const auto *frame = static_cast<const uint8_t *>(input.src) + frame_start;
            if (decoded.first_bad_checksum == SIZE_MAX && !frame_checksum_holds(frame, input.pos - frame_start))
                decoded.first_bad_checksum = decoded.frame_ends.size() - 1;
            frame_start = input.pos;
        }
        filled = output.pos == output.size;
    }
}
