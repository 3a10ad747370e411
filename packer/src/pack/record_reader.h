// The decoded stream's records (each entry's head, then its data, in payload
// order), read ahead of the encoder by reader threads, in chunks of 1 MiB.
//
// Opening and reading a small file costs a few system calls, and a tree of
// many small files made the encoder's thread spend most of its time on them
// while the compression workers waited for input. Every record's place in
// the stream follows from the collected sizes, so any reader can fill any
// chunk on its own; the encoder takes the chunks in order, and the stream is
// the same bytes whatever the number of readers. The readers also take the
// entries' digests: an entry within one chunk at once, several side by side
// (EntryDigest::add_each), and an entry that goes on into the next chunk
// piece by piece, each chunk's piece after the one before it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pack/entry_digest.h"
#include "pack/inputs.h"

namespace tarven {

class RecordReader {
 public:
  struct Chunk {
    const unsigned char* bytes = nullptr;
    size_t size = 0;          // 0 once every record was taken
    uint64_t data_bytes = 0;  // of the files' data, for progress
    size_t entries_ended = 0; // entries whose record ends in this chunk
  };

  // Starts up to `threads` readers; next() reads a chunk no reader has
  // started itself (all of them, with none).
  // `chunk_size` is for tests; the encoder takes 1 MiB at a time.
  RecordReader(const std::vector<PackEntry>& entries, int threads, size_t chunk_size = size_t{1} << 20);
  // Stops the readers wherever they are.
  ~RecordReader();
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // The records' bytes, without the end record.
  uint64_t records_size() const { return offsets_.back(); }
  // The next chunk in stream order, once it is read; the chunk returned
  // before is given back for reuse. A file that could not be read, or that
  // changed size since it was collected, is thrown here in stream order:
  // the first such file in the payload is the one named, as without readers.
  Chunk next();
  // Every entry's digest, in payload order, once next() has given the end.
  std::vector<uint64_t> digests() const;

 private:
  struct Slot;
  struct Files;
  void read_loop();
  void fill(size_t chunk, Slot& slot, Files& files);
  void digest_after_previous(size_t chunk, EntryDigest* digest, const unsigned char* bytes, size_t n);

  const std::vector<PackEntry>& entries_;
  const size_t chunk_size_;
  std::vector<uint64_t> offsets_;  // where each record starts; then where the records end
  size_t chunks_ = 0;
  std::vector<EntryDigest> digests_;
  std::vector<std::unique_ptr<Slot>> slots_;  // chunk k is read into slot k % slots_.size()
  std::unique_ptr<Files> own_files_;  // next()'s, for the chunks it reads itself
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t claimed_ = 0;   // chunks a reader has started
  size_t taken_ = 0;     // chunks next() has given
  size_t released_ = 0;  // chunks given back
  std::vector<unsigned char> digested_;  // per chunk: its digests are all taken
  bool stopping_ = false;
  std::vector<std::thread> readers_;
};

}  // namespace tarven
