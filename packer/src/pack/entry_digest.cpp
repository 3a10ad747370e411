// The entry digest; see entry_digest.h.
#include "pack/entry_digest.h"

namespace tarven {
namespace {

constexpr uint64_t kOffsetBasis = 0xCBF29CE484222325ull;
constexpr uint64_t kPrime = 0x100000001B3ull;

// One digest's bytes still to add.
struct Lane {
  uint64_t* state;
  const unsigned char* bytes;
  size_t left;
};

// `n` bytes of each of the K lanes, interleaved.
template <int K>
void step(Lane* lanes, size_t n) {
  uint64_t s[K];
  const unsigned char* p[K];
  for (int k = 0; k < K; ++k) {
    s[k] = *lanes[k].state;
    p[k] = lanes[k].bytes;
  }
  for (size_t i = 0; i < n; ++i)
    for (int k = 0; k < K; ++k) s[k] = (s[k] ^ p[k][i]) * kPrime;
  for (int k = 0; k < K; ++k) {
    *lanes[k].state = s[k];
    lanes[k].bytes += n;
    lanes[k].left -= n;
  }
}

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

void EntryDigest::add_each(EntryDigest* const digests[], const unsigned char* const bytes[],
                           const size_t sizes[], size_t count) {
  constexpr int kLanes = 4;
  Lane lanes[kLanes];
  int active = 0;
  size_t next = 0;
  while (true) {
    while (active < kLanes && next < count) {
      if (sizes[next] != 0) lanes[active++] = {&digests[next]->state_, bytes[next], sizes[next]};
      ++next;
    }
    if (active == 0) return;
    // As far as the shortest lane goes, then that lane makes room for the next.
    size_t n = lanes[0].left;
    for (int k = 1; k < active; ++k) n = lanes[k].left < n ? lanes[k].left : n;
    switch (active) {
      case 4: step<4>(lanes, n); break;
      case 3: step<3>(lanes, n); break;
      case 2: step<2>(lanes, n); break;
      default: step<1>(lanes, n); break;
    }
    int kept = 0;
    for (int k = 0; k < active; ++k)
      if (lanes[k].left != 0) lanes[kept++] = lanes[k];
    active = kept;
  }
}

uint64_t resource_digest(const unsigned char* bytes, size_t n) {
  EntryDigest digest(u"");
  digest.add(bytes, n);
  return digest.value();
}

}  // namespace tarven
