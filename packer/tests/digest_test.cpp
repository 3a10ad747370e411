// The entry digest is part of every executable built: its definition (64-bit
// FNV-1a over the UTF-16LE name, then the bytes) must never change, however
// it is computed.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "pack/entry_digest.h"
#include "test_support.h"

namespace tarven {
namespace {

uint64_t fnv1a(const std::string& bytes) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (unsigned char c : bytes) h = (h ^ c) * 0x100000001B3ull;
  return h;
}

const unsigned char* at(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

TEST(Digest, IsFnv1aOverTheUtf16LeNameThenTheBytes) {
  // Published FNV-1a 64 values: "" and "a" and "foobar".
  EXPECT_EQ(fnv1a(""), 0xCBF29CE484222325ull);
  EXPECT_EQ(fnv1a("a"), 0xAF63DC4C8601EC8Cull);
  EXPECT_EQ(fnv1a("foobar"), 0x85944171F73967E8ull);
  EXPECT_EQ(EntryDigest(u"").value(), 0xCBF29CE484222325ull);
  EntryDigest d(u"a\\\x00E9");
  d.add(at("foo"), 1);
  d.add(at("foo") + 1, 2);
  EXPECT_EQ(d.value(), fnv1a(std::string("a\0\\\0\xE9\0foo", 9)));
}

// Pieces of every length, for up to nine digests at once, in lanes that
// finish at different points: the same values as one digest at a time.
TEST(Digest, ManyAtOnceGiveWhatOneAtATimeGives) {
  std::mt19937 random(5);
  const std::string bytes = tarven_test::sample_bytes(1 << 16, 11);
  for (int round = 0; round < 200; ++round) {
    const size_t count = random() % 10;
    std::vector<EntryDigest> together, alone;
    std::vector<EntryDigest*> digests;
    std::vector<const unsigned char*> starts;
    std::vector<size_t> sizes;
    for (size_t i = 0; i < count; ++i) {
      const std::u16string name(1 + random() % 5, static_cast<char16_t>(u'a' + i));
      together.emplace_back(name);
      alone.emplace_back(name);
    }
    for (size_t i = 0; i < count; ++i) {
      const size_t size = random() % 3 == 0 ? 0 : random() % (round < 100 ? 40 : 5000);
      const size_t start = random() % (bytes.size() - size);
      digests.push_back(&together[i]);
      starts.push_back(at(bytes) + start);
      sizes.push_back(size);
      alone[i].add(at(bytes) + start, size);
    }
    EntryDigest::add_each(digests.data(), starts.data(), sizes.data(), count);
    for (size_t i = 0; i < count; ++i) EXPECT_EQ(together[i].value(), alone[i].value()) << "round " << round;
  }
}

}  // namespace
}  // namespace tarven
