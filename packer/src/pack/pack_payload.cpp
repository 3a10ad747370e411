// Packing input files into payload.bin; see pack_payload.h.
#include "pack/pack_payload.h"

#include <vector>

#include "pack/entry_digest.h"
#include "host/errors.h"
#include "host/file_io.h"
#include "host/interrupt.h"
#include "pack/payload_writer.h"
#include "commands/progress.h"

namespace tarven {

PackTotals pack_payload(const std::vector<PackEntry>& entries, ByteSink& sink, int level, bool show_progress,
                        int threads) {
  PackTotals totals;
  for (const PackEntry& e : entries) totals.data_bytes += e.size;
  totals.files = entries.size();

  PayloadWriter writer(sink, level, threads);
  Progress progress(totals.data_bytes, totals.files, show_progress);
  std::vector<unsigned char> buffer(1 << 20);
  for (const PackEntry& e : entries) {
    InputFile in(e.source);
    if (in.size() != e.size)
      throw failure(in.name() + ": changed size while packing (" + std::to_string(e.size) + " -> " +
                    std::to_string(in.size()) + " bytes)");
    writer.begin_entry(e.name, e.size);
    EntryDigest digest(e.name);
    uint64_t left = e.size;
    while (left) {
      const size_t want = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
      const size_t got = in.read_some(buffer.data(), want);
      if (got == 0) throw failure(in.name() + ": shrank while packing");
      writer.write_data(buffer.data(), got);
      digest.add(buffer.data(), got);
      left -= got;
      progress.advance(got);
      stop_if_interrupted();
    }
    totals.digests.push_back(digest.value());
    progress.file_done();
  }
  writer.finish();
  progress.clear();
  totals.stored_bytes = writer.stored_size();
  return totals;
}

}  // namespace tarven
