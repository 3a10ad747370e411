// Decodes a stored payload and walks its records, checking the framing on the
// way: marker, trailer, a single zstd frame the launcher can decode (window at
// most 2^27, no dictionary), records, end record last. `list`, `verify` and
// `extract` all read payloads through this one walker.
#pragma once

#include <cstdint>
#include <string>

#include "pack/byte_source.h"

namespace tarven {

struct PayloadFacts {
  uint64_t stored_size = 0;
  uint64_t frame_size = 0;
  uint64_t window_size = 0;
  bool has_checksum = false;
  uint64_t unpacked_size = 0;  // the decoded stream: records and data
  uint64_t file_bytes = 0;     // the entries' data alone
  uint64_t entries = 0;
};

class EntryVisitor {
 public:
  virtual ~EntryVisitor() = default;
  // `index` counts from 0; `name` holds 1..1023 units, not yet checked
  // against the name rules.
  virtual void begin_entry(uint64_t index, const std::u16string& name, uint64_t size) = 0;
  virtual void data(const unsigned char* bytes, size_t n) = 0;
  virtual void end_entry() = 0;
};

// Throws a Failure (exit 1) whose line starts with `label` on any damage.
PayloadFacts walk_payload(ByteSource& payload, EntryVisitor& visitor, const std::string& label);

}  // namespace tarven
