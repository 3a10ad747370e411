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

// Checks the marker, allocates the window and creates the decoder over the
// payload linked into this executable. Every failure ends the process with a
// message and exit code 2.
void open_payload();

// The same over a stored payload at `start` of `stored_size` bytes.
void open_payload_at(const unsigned char *start, uint64_t stored_size);

// Copies exactly the next `count` bytes of the payload stream to
// `destination`, decoding as needed; a count of 0 touches nothing. A stream
// that cannot give them ends the process with "Error, couldn't decode
// attached data." and exit code 2.
void read_payload_bytes(void *destination, uint64_t count);

// Releases the decoder and the window.
void close_payload();

// Number of decoder calls made so far (read by tests and benchmarks).
uint64_t payload_decoder_calls();
