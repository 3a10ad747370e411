// The PE header's checksum, shared by the writer (which computes it) and
// verify (which checks it): a one's-complement sum of the file's 16-bit
// little-endian words, its own field counted as zero, plus the file's length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarven {

// Where the checksum lies in the optional header (PE32 and PE32+ alike).
constexpr uint32_t kCheckSumField = 0x40;

// A sum of words folded to 16 bits, each carry added back in.
inline uint32_t fold_checksum(uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum);
}

// Sum of the 16-bit little-endian words of `bytes`, which start at an even
// offset; an odd last byte counts as a word of its own. Summed in 64 bits,
// it needs folding only once per block.
inline uint64_t word_sum(const unsigned char* bytes, size_t n) {
  uint64_t sum = 0;
  for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(bytes[i]) | (static_cast<uint32_t>(bytes[i + 1]) << 8);
  if (n % 2) sum += bytes[n - 1];
  return sum;
}

}  // namespace tarven
