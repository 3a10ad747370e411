// Streams the collected input files into a stored payload, checking that no
// file changed size since it was collected.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "pack/byte_sink.h"
#include "pack/inputs.h"

namespace tarven {

struct PackTotals {
  uint64_t files = 0;
  uint64_t data_bytes = 0;   // the files' contents
  uint64_t stored_bytes = 0; // the stored payload
  std::vector<uint64_t> digests;  // one per entry, in payload order (entry_digest.h)
};

// Told how packing goes, by whoever shows it; packing itself shows nothing.
class PackProgress {
 public:
  virtual ~PackProgress() = default;
  virtual void advance(uint64_t bytes) = 0;  // bytes of files read
  virtual void file_done() = 0;
  virtual void finished() = 0;  // the stored payload is complete
};

// Writes the stored payload (marker, frame, trailer) to `sink`, telling
// `progress` (when given) how far it got.
PackTotals pack_payload(const std::vector<PackEntry>& entries, ByteSink& sink, int level,
                        PackProgress* progress = nullptr, int threads = 1);

}  // namespace tarven
