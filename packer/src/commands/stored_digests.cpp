// Comparing entries with their stored digests; see stored_digests.h.
#include "commands/stored_digests.h"

#include "host/errors.h"
#include "host/utf.h"

namespace tarven {

std::string entry_label(uint64_t index, const std::u16string& name) {
  return "entry " + std::to_string(index + 1) + " '" + utf16_to_utf8(name) + "'";
}

std::string entries_text(uint64_t count) {
  return std::to_string(count) + (count == 1 ? " entry" : " entries");
}

void StoredDigests::begin(uint64_t index, const std::u16string& name) {
  entry_ = entry_label(index, name);
  if (stored_.has_digests && index >= stored_.digests.size())
    throw failure(label_ + ": " + entry_ + " is not among the " + std::to_string(stored_.digests.size()) +
                  " entries whose digests were stored when it was built");
  index_ = index;
  digest_ = EntryDigest(name);
}

bool StoredDigests::matches() const { return !stored_.has_digests || digest_.value() == stored_.digests[index_]; }

Failure StoredDigests::damaged(const std::string& what_happened) const {
  return failure(label_ + ": " + entry_ + " is damaged: its bytes differ from those it was built with" +
                 what_happened);
}

void StoredDigests::finish(uint64_t entries) const {
  if (stored_.has_digests && entries != stored_.digests.size())
    throw failure(label_ + ": the payload holds " + std::to_string(entries) + " entries, but " +
                  std::to_string(stored_.digests.size()) + " digests were stored when it was built");
}

}  // namespace tarven
