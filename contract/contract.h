// What the packer and the launcher must agree on, byte for byte: the stored
// payload's layout, the bounds of its stream, and the symbols through which a
// build fixes its constants in the executable. A plain header: the packer,
// the launcher, the fuzz reference and assembler sources include it.
#pragma once

// The symbols a build defines in the executable's read-only data: the stored
// payload (its first byte, and its size in bytes as a 64-bit number) and four
// UTF-16 texts, each ending with a zero unit.
#define TARVEN_PAYLOAD_START tarven_payload_start
#define TARVEN_PAYLOAD_SIZE tarven_payload_size
#define TARVEN_TARGET_TEMPLATE tarven_target_template
#define TARVEN_COMPANY tarven_company
#define TARVEN_PRODUCT tarven_product
#define TARVEN_VERSION tarven_version

// A symbol's name as text, for the tools that write it.
#define TARVEN_SYMBOL_NAME(symbol) TARVEN_SYMBOL_NAME_OF(symbol)
#define TARVEN_SYMBOL_NAME_OF(symbol) #symbol

#ifndef __ASSEMBLER__
#include <stddef.h>

// The stored payload: the marker, one zstd frame, then a trailer of 8 bytes,
// little-endian, holding the number of bytes in front of it.
constexpr char kPayloadMarker[3] = {'W', 'E', 'Q'};
constexpr size_t kPayloadMarkerSize = sizeof kPayloadMarker;
constexpr size_t kPayloadTrailerSize = 8;

// The frame's window: the launcher's decoder accepts at most 2^27 bytes.
constexpr int kPayloadWindowLog = 27;

// The frame's content: entry records (a UTF-16LE name, a zero unit, a 64-bit
// little-endian size, the data) closed by an empty name. A name holds at most
// this many units before its zero unit.
constexpr size_t kEntryNameMaxUnits = 1023;
#endif
