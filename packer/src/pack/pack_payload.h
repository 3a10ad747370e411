// Streams the collected input files into a stored payload file, checking that
// no file changed size since it was collected.
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

PackTotals pack_payload(const std::vector<PackEntry>& entries, const std::filesystem::path& out,
                        int level, bool show_progress, int threads = 1);
// The same into any sink (the stored payload's bytes, marker to trailer).
PackTotals pack_payload(const std::vector<PackEntry>& entries, ByteSink& sink, int level,
                        bool show_progress, int threads = 1);

}  // namespace tarven
