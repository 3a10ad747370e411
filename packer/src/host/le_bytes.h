// Little-endian numbers in byte buffers, read and written byte by byte, so
// the packer runs the same on any host: the payload's records and trailer,
// the PE headers, the slots and the resources all store them this way.
#pragma once

#include <cstdint>

namespace tarven {

inline uint16_t get_le16(const unsigned char* in) { return static_cast<uint16_t>(in[0] | (in[1] << 8)); }

inline uint32_t get_le32(const unsigned char* in) {
  return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) | (static_cast<uint32_t>(in[2]) << 16) |
         (static_cast<uint32_t>(in[3]) << 24);
}

inline uint64_t get_le64(const unsigned char* in) {
  return get_le32(in) | (static_cast<uint64_t>(get_le32(in + 4)) << 32);
}

inline void put_le16(unsigned char* out, uint16_t v) {
  out[0] = static_cast<unsigned char>(v);
  out[1] = static_cast<unsigned char>(v >> 8);
}

inline void put_le32(unsigned char* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline void put_le64(unsigned char* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace tarven
