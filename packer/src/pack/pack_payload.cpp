// Packing input files into the stored payload; see pack_payload.h.
#include "pack/pack_payload.h"

#include <algorithm>

#include "host/interrupt.h"
#include "pack/payload_writer.h"
#include "pack/record_reader.h"

namespace tarven {
namespace {

// Readers are busy with system calls and copies, not compression: one reads
// small files about as fast as two workers compress them at level 3, and a
// few keep any number of workers fed.
constexpr int kMaxReaders = 4;

}  // namespace

PackTotals pack_payload(const std::vector<PackEntry>& entries, ByteSink& sink, int level,
                        PackProgress* progress, int threads) {
  PackTotals totals;
  for (const PackEntry& e : entries) totals.data_bytes += e.size;
  totals.files = entries.size();

  // The files are read ahead of the encoder, by one reader per two
  // compression threads.
  RecordReader records(entries, std::clamp((threads + 1) / 2, 1, kMaxReaders));
  // The decoded stream: the records, then the end record.
  PayloadWriter writer(sink, level, threads, records.records_size() + 2);
  while (true) {
    const RecordReader::Chunk chunk = records.next();
    if (chunk.size == 0) break;
    writer.write_records(chunk.bytes, chunk.size);
    if (progress) {
      progress->advance(chunk.data_bytes);
      for (size_t i = 0; i < chunk.entries_ended; ++i) progress->file_done();
    }
    stop_if_interrupted();
  }
  writer.finish();
  if (progress) progress->finished();
  totals.stored_bytes = writer.stored_size();
  totals.digests = records.digests();
  return totals;
}

}  // namespace tarven
