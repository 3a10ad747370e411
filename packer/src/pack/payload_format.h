// Constants of the stored payload the launcher reads byte for byte:
// "WEQ", one zstd frame, then a uint64 LE trailer = 3 + frame length.
// The frame holds entry records (UTF-16LE name, 0 unit, uint64 LE size, data)
// and an end record (one 0 unit).
#pragma once

#include <cstddef>
#include <cstdint>

#include "contract/contract.h"

namespace tarven {

using ::kPayloadMarker;
constexpr size_t kMarkerSize = kPayloadMarkerSize;
constexpr size_t kTrailerSize = kPayloadTrailerSize;
constexpr int kWindowLog = kPayloadWindowLog;
// Chosen from measurements of ratio against packing time: see packer/README.md.
constexpr int kDefaultLevel = 18;
constexpr int kMinLevel = 1;
constexpr int kMaxLevel = 22;

inline void put_le64(unsigned char* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline uint64_t get_le64(const unsigned char* in) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}

}  // namespace tarven
