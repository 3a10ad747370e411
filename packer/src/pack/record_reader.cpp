// Reading the records ahead of the encoder; see record_reader.h.
#include "pack/record_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include "host/errors.h"
#include "host/path_text.h"
#include "pack/payload_writer.h"

namespace tarven {
namespace {

// Chunks that may be read ahead of the encoder: a few per reader, and some
// more, so that readers go on while the encoder and its workers are busy.
constexpr size_t kSlotsPerReader = 4;
constexpr size_t kMinSlots = 8;

// Opens files relative to their folder, kept open from one file to the next:
// files come folder by folder in payload order, and the system then looks up
// one name per file instead of every folder of its path.
class Folders {
 public:
  Folders() = default;
  ~Folders() { close_folder(); }
  Folders(const Folders&) = delete;
  Folders& operator=(const Folders&) = delete;

  // A descriptor open for reading, or -1 with errno set.
  int open(const std::filesystem::path::string_type& path) {
#ifdef _WIN32
    // The C runtime opens by the whole path; Windows has no openat.
    return ::_wopen(path.c_str(), _O_RDONLY | _O_BINARY);
#else
    const std::string& text = path;
    const size_t slash = text.rfind('/');
    if (slash != std::string::npos && slash + 1 < text.size()) {
      const size_t length = slash == 0 ? 1 : slash;  // the folder of /x is /
      if (folder_fd_ < 0 || folder_.compare(0, std::string::npos, text, 0, length) != 0) {
        close_folder();
        folder_.assign(text, 0, length);
        folder_fd_ = ::open(folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      }
      if (folder_fd_ >= 0) {
        int fd;
        do fd = ::openat(folder_fd_, text.c_str() + slash + 1, O_RDONLY | O_CLOEXEC);
        while (fd < 0 && errno == EINTR);
        return fd;
      }
    }
    // No folder part, or its folder would not open: the whole path, for the
    // system's own reason if it fails.
    int fd;
    do fd = ::open(text.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
#endif
  }

 private:
  void close_folder() {
#ifndef _WIN32
    if (folder_fd_ >= 0) ::close(folder_fd_);
#endif
    folder_fd_ = -1;
  }

  std::string folder_;
  int folder_fd_ = -1;
};

// One input file, read with plain system calls: a small file costs open,
// one read and close (a FILE* added a buffer, a copy and more calls, which
// doubled the time of reading 20,000 small files). That the file kept the
// size it had when it was collected is seen without a stat: the read that
// reaches its end asks for one byte more (see `read`).
class SourceFile {
 public:
  SourceFile(const PackEntry& entry, Folders& folders) : entry_(entry) {
    fd_ = folders.open(entry.source);
    if (fd_ < 0) throw user_error(name() + ": cannot open: " + std::strerror(errno));
#ifndef _WIN32
    // Large files are read from start to end: the kernel may read further ahead.
    if (entry.size >= (uint64_t{4} << 20)) ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  }
  ~SourceFile() {
#ifdef _WIN32
    ::_close(fd_);
#else
    ::close(fd_);
#endif
  }
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;

  // Reads the `n` bytes at `offset` (within the collected size) into
  // `buffer`, which has room for `room` >= n bytes. When they end the file
  // and `room` allows, one more byte is asked for: getting it means the file
  // grew. A file that shrank or grew is refused.
  void read(uint64_t offset, unsigned char* buffer, size_t n, size_t room) {
    const bool last = offset + n == entry_.size;
    const size_t asked = last && room > n ? n + 1 : n;
    size_t got = 0;
    while (got < n) {
      const size_t more = read_some(offset + got, buffer + got, asked - got);
      if (more == 0) changed_size();
      got += more;
    }
    if (got > n) changed_size();
    if (last && asked == n) {  // no room for the extra byte: ask for it apart
      unsigned char extra;
      if (read_some(offset + n, &extra, 1) != 0) changed_size();
    }
  }

 private:
  std::string name() const { return display_path(std::filesystem::path(entry_.source)); }

  size_t read_some(uint64_t offset, unsigned char* buffer, size_t n) {
#ifdef _WIN32
    // This descriptor is this reader's own: seeking it moves no one else's.
    if (::_lseeki64(fd_, static_cast<__int64>(offset), SEEK_SET) < 0)
      throw failure(name() + ": cannot read: " + std::strerror(errno));
#endif
    while (true) {
#ifdef _WIN32
      // The C runtime reads at most INT_MAX bytes a call.
      const int got = ::_read(fd_, buffer, static_cast<unsigned>(n < (1u << 30) ? n : (1u << 30)));
#else
      const ssize_t got = ::pread(fd_, buffer, n, static_cast<off_t>(offset));
#endif
      if (got >= 0) return static_cast<size_t>(got);
      if (errno == EISDIR) throw user_error(name() + ": is a folder, not a file");
      if (errno != EINTR) throw failure(name() + ": cannot read: " + std::strerror(errno));
    }
  }

  [[noreturn]] void changed_size() const {
#ifdef _WIN32
    struct _stat64 st {};
    if (::_fstat64(fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) == entry_.size)
#else
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) == entry_.size)
#endif
      throw failure(name() + ": changed while packing (its size was " + std::to_string(entry_.size) +
                    " bytes)");
    throw failure(name() + ": changed size while packing (" + std::to_string(entry_.size) + " -> " +
                  std::to_string(static_cast<uint64_t>(st.st_size)) + " bytes)");
  }

  const PackEntry& entry_;
  int fd_ = -1;
};

}  // namespace

// What one reader keeps from one chunk to the next: its open folder, and the
// file it read last, which the next chunk it fills often goes on with (a
// large file is opened once per reader, not once per chunk).
struct RecordReader::Files {
  SourceFile& open(size_t index, const PackEntry& entry) {
    if (!file || index != file_index) {
      file.reset();
      file = std::make_unique<SourceFile>(entry, folders);
      file_index = index;
    }
    return *file;
  }
  Folders folders;
  std::unique_ptr<SourceFile> file;
  size_t file_index = 0;
};

struct RecordReader::Slot {
  explicit Slot(size_t size) : bytes(new unsigned char[size]) {}
  std::unique_ptr<unsigned char[]> bytes;  // the chunk, and a byte more for the reads' extra byte
  size_t chunk = ~size_t{0};
  bool ready = false;
  Chunk read;
  std::exception_ptr error;
};

RecordReader::RecordReader(const std::vector<PackEntry>& entries, int threads, size_t chunk_size)
    : entries_(entries),
      chunk_size_(chunk_size),
      digests_(entries.size(), EntryDigest(u"")),
      own_files_(std::make_unique<Files>()) {
  offsets_.reserve(entries.size() + 1);
  uint64_t at = 0;
  for (const PackEntry& e : entries) {
    offsets_.push_back(at);
    at += record_head_size(e.name) + e.size;
  }
  offsets_.push_back(at);
  chunks_ = static_cast<size_t>((at + chunk_size_ - 1) / chunk_size_);
  digested_.assign(chunks_, 0);
  const size_t readers = static_cast<size_t>(std::min<uint64_t>(threads < 0 ? 0 : threads, chunks_));
  const size_t slots = std::min(std::max(kMinSlots, readers * kSlotsPerReader), std::max<size_t>(chunks_, 1));
  for (size_t i = 0; i < slots; ++i) slots_.push_back(std::make_unique<Slot>(chunk_size_ + 1));
  readers_.reserve(readers);
  try {
    for (size_t i = 0; i < readers; ++i) readers_.emplace_back([this] { read_loop(); });
  } catch (const std::system_error&) {
    // No more threads to be had: the ones there are read, or next() does.
  }
}

RecordReader::~RecordReader() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& reader : readers_) reader.join();
}

void RecordReader::read_loop() {
  Files files;
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return stopping_ || claimed_ == chunks_ || claimed_ < released_ + slots_.size(); });
    if (stopping_ || claimed_ == chunks_) return;
    const size_t chunk = claimed_++;
    Slot& slot = *slots_[chunk % slots_.size()];
    slot.chunk = chunk;
    slot.ready = false;
    lock.unlock();
    fill(chunk, slot, files);
    lock.lock();
    slot.ready = true;
    changed_.notify_all();
  }
}

RecordReader::Chunk RecordReader::next() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (released_ < taken_) {
    released_ = taken_;
    changed_.notify_all();
  }
  if (taken_ == chunks_) return {};
  const size_t chunk = taken_;
  Slot& slot = *slots_[chunk % slots_.size()];
  if (claimed_ == chunk) {
    // No reader has started it (there are none, or they have no processor
    // just now): read it here rather than wait.
    claimed_ = chunk + 1;
    slot.chunk = chunk;
    lock.unlock();
    fill(chunk, slot, *own_files_);
    lock.lock();
  } else {
    changed_.wait(lock, [&] { return slot.chunk == chunk && slot.ready; });
  }
  if (slot.error) std::rethrow_exception(slot.error);
  ++taken_;
  return slot.read;
}

std::vector<uint64_t> RecordReader::digests() const {
  std::vector<uint64_t> values;
  values.reserve(digests_.size());
  for (const EntryDigest& d : digests_) values.push_back(d.value());
  return values;
}

void RecordReader::fill(size_t chunk, Slot& slot, Files& files) {
  const uint64_t begin = chunk * uint64_t{chunk_size_};
  const uint64_t end = std::min<uint64_t>(begin + chunk_size_, offsets_.back());
  unsigned char* const bytes = slot.bytes.get();
  slot.read = Chunk{bytes, static_cast<size_t>(end - begin), 0, 0};
  slot.error = nullptr;
  // The piece of an entry whose digest an earlier chunk began, and the
  // pieces of the entries this chunk begins.
  EntryDigest* carried = nullptr;
  const unsigned char* carried_bytes = nullptr;
  size_t carried_size = 0;
  std::vector<EntryDigest*> piece_digest;
  std::vector<const unsigned char*> piece_bytes;
  std::vector<size_t> piece_size;
  try {
    std::vector<unsigned char> head;
    size_t i = static_cast<size_t>(std::upper_bound(offsets_.begin(), offsets_.end(), begin) - offsets_.begin()) - 1;
    uint64_t at = begin;
    while (at < end) {
      const PackEntry& e = entries_[i];
      const uint64_t data = offsets_[i] + record_head_size(e.name);
      if (at < data) {  // the head, or the part of it in this chunk
        head.resize(record_head_size(e.name));
        put_record_head(e.name, e.size, head.data());
        const uint64_t stop = std::min(data, end);
        std::memcpy(bytes + (at - begin), head.data() + (at - offsets_[i]), static_cast<size_t>(stop - at));
        at = stop;
        if (at == data) digests_[i] = EntryDigest(e.name);
      }
      const uint64_t stop = std::min(offsets_[i + 1], end);
      if (at < stop) {  // the data, or the part of it in this chunk
        const size_t n = static_cast<size_t>(stop - at);
        unsigned char* to = bytes + (at - begin);
        files.open(i, e).read(at - data, to, n, static_cast<size_t>(begin + chunk_size_ + 1 - at));
        if (data <= begin) {
          carried = &digests_[i];
          carried_bytes = to;
          carried_size = n;
        } else {
          piece_digest.push_back(&digests_[i]);
          piece_bytes.push_back(to);
          piece_size.push_back(n);
        }
        slot.read.data_bytes += n;
        at = stop;
      }
      if (at == offsets_[i + 1]) {
        ++slot.read.entries_ended;
        ++i;
      }
    }
    EntryDigest::add_each(piece_digest.data(), piece_bytes.data(), piece_size.data(), piece_digest.size());
  } catch (...) {
    files.file.reset();
    slot.error = std::current_exception();
    carried = nullptr;  // the encoder stops at this chunk: the digests will not be read
  }
  digest_after_previous(chunk, carried, carried_bytes, carried_size);
}

// The chunk's piece of an entry that an earlier chunk began, added once that
// chunk's digests are taken; then this chunk's are.
void RecordReader::digest_after_previous(size_t chunk, EntryDigest* digest, const unsigned char* bytes, size_t n) {
  if (digest) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stopping_ || digested_[chunk - 1]; });
    if (stopping_) return;
    lock.unlock();
    digest->add(bytes, n);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  digested_[chunk] = 1;
  changed_.notify_all();
}

}  // namespace tarven
