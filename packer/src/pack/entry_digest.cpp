// The entry digest; see entry_digest.h.
#include "pack/entry_digest.h"

namespace tarven {
namespace {

constexpr uint64_t kOffsetBasis = 0xCBF29CE484222325ull;
constexpr uint64_t kPrime = 0x100000001B3ull;

}  // namespace

EntryDigest::EntryDigest(const std::u16string& name) : state_(kOffsetBasis) {
  for (char16_t unit : name) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(unit & 0xFF), static_cast<unsigned char>(unit >> 8)};
    add(bytes, 2);
  }
}

void EntryDigest::add(const unsigned char* bytes, size_t n) {
  uint64_t state = state_;
  for (size_t i = 0; i < n; ++i) state = (state ^ bytes[i]) * kPrime;
  state_ = state;
}

}  // namespace tarven
