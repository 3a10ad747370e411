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
constexpr int kMinWindowLog = 10;  // zstd's smallest window

// The smallest window that holds a decoded stream of `stream_size` bytes
// whole, from 2^10 up to the launcher's 2^27: the decoder allocates a history
// of the window's size, so a small payload asks its launcher for little
// memory, and no match the encoder could use is lost to the window.
constexpr int frame_window_log(uint64_t stream_size) {
  int log = kMinWindowLog;
  while (log < kWindowLog && (uint64_t{1} << log) < stream_size) ++log;
  return log;
}
// Chosen from measurements of ratio against packing time: see packer/README.md.
constexpr int kDefaultLevel = 18;
constexpr int kMinLevel = 1;
constexpr int kMaxLevel = 22;

}  // namespace tarven
