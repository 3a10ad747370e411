// XXH64 over a stream: four lanes over 32-byte stripes, then the tail.
#include "payload/content_hash.h"

#include <string.h>

namespace {

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

inline uint64_t rotate_left(uint64_t value, int bits) { return (value << bits) | (value >> (64 - bits)); }

// The decoded stream's bytes are little-endian words to the hash, whatever
// their alignment in the window.
inline uint64_t load64(const unsigned char *at) {
    uint64_t value;
    memcpy(&value, at, 8);
    return value;
}

inline uint32_t load32(const unsigned char *at) {
    uint32_t value;
    memcpy(&value, at, 4);
    return value;
}

inline uint64_t lane_round(uint64_t lane, uint64_t word) {
    lane += word * kPrime2;
    return rotate_left(lane, 31) * kPrime1;
}

inline uint64_t merge_lane(uint64_t hash, uint64_t lane) {
    hash ^= lane_round(0, lane);
    return hash * kPrime1 + kPrime4;
}

// Takes every whole stripe of `size` bytes; gives the bytes it took.
size_t take_stripes(uint64_t *lanes, const unsigned char *bytes, size_t size) {
    uint64_t a = lanes[0], b = lanes[1], c = lanes[2], d = lanes[3];
    size_t at = 0;
    for (; size - at >= 32; at += 32) {
        a = lane_round(a, load64(bytes + at));
        b = lane_round(b, load64(bytes + at + 8));
        c = lane_round(c, load64(bytes + at + 16));
        d = lane_round(d, load64(bytes + at + 24));
    }
    lanes[0] = a, lanes[1] = b, lanes[2] = c, lanes[3] = d;
    return at;
}

}  // namespace

void content_hash_reset(ContentHash *hash) {
    hash->lanes[0] = kPrime1 + kPrime2;
    hash->lanes[1] = kPrime2;
    hash->lanes[2] = 0;
    hash->lanes[3] = 0 - kPrime1;
    hash->total = 0;
    hash->pending_size = 0;
}

void content_hash_update(ContentHash *hash, const void *bytes, size_t size) {
    const auto *in = static_cast<const unsigned char *>(bytes);
    hash->total += size;
    if (hash->pending_size > 0) {
        size_t fill = 32 - hash->pending_size;
        if (size < fill) fill = size;
        memcpy(hash->pending + hash->pending_size, in, fill);
        hash->pending_size += static_cast<unsigned>(fill);
        in += fill;
        size -= fill;
        if (hash->pending_size < 32) return;
        take_stripes(hash->lanes, hash->pending, 32);
        hash->pending_size = 0;
    }
    size_t taken = take_stripes(hash->lanes, in, size);
    memcpy(hash->pending, in + taken, size - taken);
    hash->pending_size = static_cast<unsigned>(size - taken);
}

uint64_t content_hash_digest(const ContentHash *hash) {
    const uint64_t *lanes = hash->lanes;
    uint64_t result;
    if (hash->total >= 32) {
        result = rotate_left(lanes[0], 1) + rotate_left(lanes[1], 7) + rotate_left(lanes[2], 12) +
                 rotate_left(lanes[3], 18);
        for (int i = 0; i < 4; ++i) result = merge_lane(result, lanes[i]);
    } else {
        result = kPrime5;  // the seed, 0, plus the fifth prime
    }
    result += hash->total;
    const unsigned char *tail = hash->pending;
    unsigned left = hash->pending_size;
    for (; left >= 8; tail += 8, left -= 8) result = rotate_left(result ^ lane_round(0, load64(tail)), 27) * kPrime1 + kPrime4;
    if (left >= 4) {
        result = rotate_left(result ^ (load32(tail) * kPrime1), 23) * kPrime2 + kPrime3;
        tail += 4;
        left -= 4;
    }
    for (; left > 0; ++tail, --left) result = rotate_left(result ^ (*tail * kPrime5), 11) * kPrime1;
    result ^= result >> 33;
    result *= kPrime2;
    result ^= result >> 29;
    result *= kPrime3;
    result ^= result >> 32;
    return result;
}
