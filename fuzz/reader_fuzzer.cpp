// Fuzz target: the payload reader alone, with requests of any size, every
// other one asked in place first (copied when the window does not hold it
// whole). Each must give exactly the next bytes of the reference decoding
// (reference.h), and must end the process with the decode message exactly
// when the stream cannot give them; a request of 0 bytes makes no decoder call.
//
// Input: a count of requests (0..15), that many 3-byte little-endian request
// sizes (up to 16 MiB each), then the stored payload ("WEQ"...).
#include <sanitizer/asan_interface.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "fuzz/host_system.h"
#include "fuzz/reference.h"
#include "unpack/report.h"
#include "payload/reader.h"

namespace {

struct Reads {
    const uint8_t *stored;
    size_t stored_size;
    std::vector<size_t> requests;
    const DecodedStream *reference;
    size_t position;   // bytes handed out so far
    size_t pending;    // the size of the request under way
};

// One destination for every request of every input, as large as the largest
// request (a fresh block of up to 16 MiB per request came from fresh pages
// each time). Only the request's own bytes are addressable: a byte written
// past them is still the sanitizer's to see.
constexpr size_t kLargestRequest = size_t{1} << 24;
alignas(64) uint8_t destination[kLargestRequest + 64];

size_t addressable;  // the bytes of `destination` the last request could reach

uint8_t *destination_for(size_t count) {
    static bool poisoned = (ASAN_POISON_MEMORY_REGION(destination, sizeof destination), true);
    (void)poisoned;
    ASAN_POISON_MEMORY_REGION(destination, addressable);
    ASAN_UNPOISON_MEMORY_REGION(destination, count);
    addressable = count;
    return destination;
}

void read_all(void *context) {
    auto *reads = static_cast<Reads *>(context);
    PayloadStatus opened = open_payload_at(reads->stored, reads->stored_size);
    if (opened != PayloadStatus::ok) report_payload_failure(opened);
    bool in_place = false;
    for (size_t count : reads->requests) {
        const std::string &expected = reads->reference->bytes;
        if (reads->position + count > expected.size() && reads->reference->capped) return;  // past what is judged
        const uint8_t *buffer = destination_for(count);
        reads->pending = count;
        uint64_t calls = payload_decoder_calls();
        const unsigned char *taken = nullptr;
        PayloadStatus status = PayloadStatus::ok;
        in_place = !in_place;
        if (in_place) status = take_payload_bytes(count, &taken);
        if (status == PayloadStatus::ok && taken == nullptr)
            status = read_payload_bytes(destination_for(count), count);
        if (status != PayloadStatus::ok) report_payload_failure(status);
        if (taken != nullptr) buffer = taken;
        if (count == 0 && payload_decoder_calls() != calls) finding("a request of 0 bytes called the decoder");
        if (reads->position + count > expected.size()) finding("a request met beyond what the decoder gives");
        if (count > 0 && memcmp(buffer, expected.data() + reads->position, count) != 0)
            finding("a request's bytes differ from the stream's");
        reads->position += count;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The reader's window comes from the arena, emptied after each input.
    static bool installed = (install_host_system(), use_allocation_arena(), true);
    (void)installed;
    if (size < 1) return 0;
    size_t requests = data[0] % 16;
    size_t header = 1 + 3 * requests;
    if (size < header + 3 || data[header] != 'W' || data[header + 1] != 'E' || data[header + 2] != 'Q') return 0;
    Reads reads = {data + header, size - header, {}, nullptr, 0, 0};
    for (size_t i = 0; i < requests; ++i) {
        const uint8_t *at = data + 1 + 3 * i;
        reads.requests.push_back(at[0] | (at[1] << 8) | (static_cast<size_t>(at[2]) << 16));
    }
    static DecodedStream reference;
    decode_reference(reads.stored, reads.stored_size, reference);
    reads.reference = &reference;
    Outcome outcome = run_guarded(read_all, &reads);
    if (outcome.ending == Ending::aborted) finding("the fail-fast abort in the reader");
    if (outcome.ending == Ending::exited) {
        if (outcome.exit_code != 2 || outcome.standard_output != "Error, couldn't decode attached data.\n" ||
            !outcome.standard_error.empty())
            finding("a reader failure other than the decode message with exit code 2");
        // The request that failed must have asked for more than the stream holds.
        if (reads.position + reads.pending <= reference.bytes.size())
            finding("a request the stream could meet was reported as damage");
    }
    release_host_allocations();
    return 0;
}
