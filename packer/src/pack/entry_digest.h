// The digest of one payload entry (its UTF-16LE name, then its bytes), which
// build stores in the executable and verify compares: frames carry no
// checksum, so changed bytes inside the frame would otherwise go unseen.
// 64-bit FNV-1a: meant to find damage, not to resist a forger (a code
// signature covers the whole image for that).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarven {

class EntryDigest {
 public:
  explicit EntryDigest(const std::u16string& name);
  void add(const unsigned char* bytes, size_t n);
  uint64_t value() const { return state_; }

  // Bytes for several digests: `digests[i]` gets `sizes[i]` bytes at
  // `bytes[i]`, as add() would give them (each digest at most once). Each digest is one chain of
  // multiplications, every step waiting for the one before; four chains side
  // by side keep the processor busy, so many small entries (or pieces) cost
  // about a third of the time they would one after the other.
  static void add_each(EntryDigest* const digests[], const unsigned char* const bytes[],
                       const size_t sizes[], size_t count);

 private:
  uint64_t state_;
};

// What follows the four texts in the `.payload` section: this marker (8 bytes,
// at an 8-byte boundary of the section), the number of entries (64-bit
// little-endian) and one 64-bit digest per entry in payload order.
constexpr char kDigestMarker[8] = {'T', 'V', 'N', 'D', 'I', 'G', 'S', '1'};

// Right after the entries' digests: this marker and the digest of the `.rsrc`
// section's bytes (as the resource directory's size counts them), the same
// FNV-1a over the bytes alone. Executables packed before it have neither.
constexpr char kResourceDigestMarker[8] = {'T', 'V', 'N', 'R', 'S', 'R', 'C', '1'};
uint64_t resource_digest(const unsigned char* bytes, size_t n);

}  // namespace tarven
