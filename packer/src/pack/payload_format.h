// Constants of the stored payload the launcher reads byte for byte:
// "WEQ", one zstd frame, then a uint64 LE trailer = 3 + frame length.
// The frame holds entry records (UTF-16LE name, 0 unit, uint64 LE size, data)
// and an end record (one 0 unit).
#pragma once

#include <cstddef>
#include <cstdint>

#include "contract/contract.h"
#include "host/le_bytes.h"

namespace tarven {

using ::kPayloadMarker;
constexpr size_t kMarkerSize = kPayloadMarkerSize;
constexpr size_t kTrailerSize = kPayloadTrailerSize;
constexpr int kWindowLog = kPayloadWindowLog;
// Chosen from measurements of ratio against packing time: see packer/README.md.
constexpr int kDefaultLevel = 18;
constexpr int kMinLevel = 1;
constexpr int kMaxLevel = 22;

}  // namespace tarven
