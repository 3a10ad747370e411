// The digests build stored for each entry, compared while a command walks the
// payload: verify, list and extract all refuse an entry whose bytes changed,
// so none of them calls a damaged payload good.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/errors.h"
#include "image/launcher_texts.h"
#include "pack/entry_digest.h"

namespace tarven {

// "entry 3 'data\x.txt'": how every command names an entry.
std::string entry_label(uint64_t index, const std::u16string& name);

// "1 entry", "2 entries".
std::string entries_text(uint64_t count);

class StoredDigests {
 public:
  // `label` starts every failure's line (the executable's name). Without
  // stored digests (an older packer, a raw payload) nothing is compared.
  StoredDigests(const std::string& label, const LauncherTexts& stored) : label_(label), stored_(stored) {}

  // A failure when the payload holds more entries than digests were stored.
  void begin(uint64_t index, const std::u16string& name);
  void add(const unsigned char* bytes, size_t n) { digest_.add(bytes, n); }
  // Whether the entry's bytes are those it was built with.
  bool matches() const;
  // The digest of the entry's bytes so far.
  uint64_t value() const { return digest_.value(); }
  // The failure for an entry that does not match; `what_happened` ends its line.
  Failure damaged(const std::string& what_happened = "") const;
  // A failure when the payload held fewer entries than digests were stored.
  void finish(uint64_t entries) const;

 private:
  const std::string& label_;
  const LauncherTexts& stored_;
  std::string entry_;
  uint64_t index_ = 0;
  EntryDigest digest_{u""};
};

}  // namespace tarven
