// The payload stream reader: decodes the stored payload's zstd frame on
// demand into a fixed 131072-byte output window, so the stream is never
// held whole in memory.
//
// Stored payload: "WEQ", one zstd frame, an 8-byte little-endian trailer
// holding the number of bytes in front of it. The frame's content is entry
// records (UTF-16LE name, zero unit, 64-bit size, data) closed by an empty
// name.
#pragma once

#include <stdint.h>

constexpr uint64_t kPayloadWindowSize = 131072;

// What a payload operation found. The reader reports nothing itself: its
// caller turns anything but `ok` into the launcher's message.
enum class PayloadStatus {
    ok,
    no_marker,  // the stored payload does not start with the marker
    no_memory,  // the window or the decoder cannot be allocated
    damaged,    // the decoder fails, or the stream ends before the request
};

// Checks the marker, allocates the window and creates the decoder over the
// payload linked into this executable; gives what it found.
PayloadStatus open_payload();

// The same over a stored payload at `start` of `stored_size` bytes.
PayloadStatus open_payload_at(const unsigned char *start, uint64_t stored_size);

// Copies exactly the next `count` bytes of the payload stream to
// `destination`, decoding as needed; a count of 0 touches nothing. Gives
// `damaged` when the stream cannot give them (what was copied is then
// undefined), else `ok`.
PayloadStatus read_payload_bytes(void *destination, uint64_t count);

// Points `*bytes` at the next `count` bytes of the payload stream where the
// window holds them whole (decoding the next window first when this one is
// used up), and moves past them; else sets it to nullptr and moves nowhere,
// for read_payload_bytes to copy them. The bytes stay in place until the
// next call of either. Gives `damaged` when the decoder fails, else `ok`.
PayloadStatus take_payload_bytes(uint64_t count, const unsigned char **bytes);

// Decodes the rest of the frame after the stream's end record, dropping
// whatever content it still holds, up to the frame's end, and gives the
// verdict of every frame's content checksum that the packer writes (a frame
// without one has nothing to test). Gives `damaged` when the decoder fails,
// the input ends first or a checksum does not match, else `ok`.
PayloadStatus finish_payload_frame();

// Releases the decoder and the window; again, does nothing.
void close_payload();

// Number of decoder calls made so far (read by tests and benchmarks).
uint64_t payload_decoder_calls();
