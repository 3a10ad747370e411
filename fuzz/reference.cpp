// The reference decoding (see reference.h).
#include "fuzz/reference.h"

#include <zstd.h>

#include "contract/contract.h"
#include "payload/reader.h"

void decode_reference(const uint8_t *stored, size_t size, DecodedStream &decoded) {
    static ZSTD_DCtx *decoder = ZSTD_createDCtx();  // reused, as the reader's (see host_system.cpp)
    static std::string window(kPayloadWindowSize, '\0');
    ZSTD_DCtx_reset(decoder, ZSTD_reset_session_and_parameters);
    decoded.bytes.clear();
    decoded.capped = false;
    decoded.frame_ends.clear();
    ZSTD_inBuffer input = {stored + kPayloadMarkerSize, size - kPayloadMarkerSize, 0};
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
        if (result == 0) decoded.frame_ends.push_back(decoded.bytes.size());
        filled = output.pos == output.size;
    }
}
