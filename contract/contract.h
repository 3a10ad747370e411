// What the packer and the launcher must agree on, byte for byte: the stored
// payload's layout, the bounds of its stream, and the slots through which a
// build fixes its constants in the executable. A plain header: the packer,
// the launcher, the fuzz reference and assembler sources include it.
#pragma once

// The launcher's read-only section that holds its slots: one block through
// which the packer fixes, when it writes an executable, where the stored
// payload and the four texts are (as offsets from the image's base), the
// payload's stored and unpacked sizes and the build's switches. The launcher
// reads them; it never searches for the payload.
#define TARVEN_SLOTS_SECTION ".tarven"

#ifndef __ASSEMBLER__
#include <stddef.h>
#include <stdint.h>

// The slots, little-endian, at the start of the slots section. A launcher
// image fresh from the linker holds the magic and zeros elsewhere.
struct TarvenSlots {
  char magic[8];
  uint64_t payload_size;      // bytes of the stored payload
  uint32_t payload_rva;       // its first byte
  uint32_t target_template_rva;  // the texts: UTF-16, each ending with a zero unit
  uint32_t company_rva;
  uint32_t product_rva;
  uint32_t version_rva;
  uint32_t payload_id_rva;    // 16 lowercase hex digits naming the stored payload
  uint32_t file_table_rva;    // the cached mode's file table, else 0
  uint32_t flags;             // kSlotsCached, kSlotsProgressWindow, or 0
  uint64_t unpacked_size;     // bytes of the entries' data, what unpacking writes
};
constexpr char kSlotsMagic[8] = {'T', 'V', 'N', 'S', 'L', 'O', 'T', '2'};
constexpr size_t kSlotsSize = 56;
// Unpacked once into a folder named by the payload id, which later starts reuse.
constexpr uint32_t kSlotsCached = 1;
// Shows a progress window when unpacking takes long.
constexpr uint32_t kSlotsProgressWindow = 2;
constexpr size_t kPayloadIdUnits = 16;

// The cached mode's file table, 8-byte aligned: the number of files (uint32),
// then for each file the offset of its record from the table's start
// (uint32), then the records, each 8-byte aligned: the size (uint64), the
// name's length in units (uint32) and the name (UTF-16, as in the payload, no
// zero unit). The first record is the entry library; the others follow sorted
// by UTF-16 code units, as the payload orders them.
static_assert(sizeof(TarvenSlots) == kSlotsSize, "the slots' layout is fixed");

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
