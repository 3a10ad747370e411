// Packing input files into the stored payload; see pack_payload.h.
#include "pack/pack_payload.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>

#include "host/errors.h"
#include "host/file_io.h"
#include "host/interrupt.h"
#include "pack/entry_digest.h"
#include "pack/payload_writer.h"

namespace tarven {
namespace {

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

// One input file, read with plain system calls. A small file costs open,
// one read and close: a FILE* added a buffer, a copy and more calls, which
// doubled the time of reading 20,000 small files. That the file kept the size
// it had when it was collected is seen without a stat: the last read asks
// for one byte more than is left (see `read`).
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

  // Reads `n` bytes (0 < n <= what is left of the file's collected size)
  // into `buffer`, which has room for `room` >= n bytes; returns how many
  // came. When `n` is all that is left and `room` allows, one more byte is
  // asked for: getting it means the file grew. A file that shrank or grew
  // is refused.
  size_t read(unsigned char* buffer, size_t n, size_t room, uint64_t left) {
    const bool last = n == left;
    const size_t asked = last && room > n ? n + 1 : n;
    const size_t got = read_some(buffer, asked);
    if (got == 0 || got > n) changed_size();
    if (last && got == n && asked == n) {  // no room for the extra byte: ask for it apart
      unsigned char extra;
      if (read_some(&extra, 1) != 0) changed_size();
    }
    return got;
  }

 private:
  std::string name() const { return display_path(std::filesystem::path(entry_.source)); }

  size_t read_some(unsigned char* buffer, size_t n) {
    while (true) {
#ifdef _WIN32
      // The C runtime reads at most INT_MAX bytes a call.
      const int got = ::_read(fd_, buffer, static_cast<unsigned>(n < (1u << 30) ? n : (1u << 30)));
#else
      const ssize_t got = ::read(fd_, buffer, n);
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

PackTotals pack_payload(const std::vector<PackEntry>& entries, ByteSink& sink, int level,
                        PackProgress* progress, int threads) {
  PackTotals totals;
  // The decoded stream: each record's name, its zero unit and size, its
  // data; then the end record.
  uint64_t stream_size = 2;
  for (const PackEntry& e : entries) {
    totals.data_bytes += e.size;
    stream_size += 2 * e.name.size() + 2 + 8 + e.size;
  }
  totals.files = entries.size();

  PayloadWriter writer(sink, level, threads, stream_size);
  // Files are read straight into the encoder's input buffer; their digests
  // are taken there just before zstd copies the buffer, each entry's piece of
  // it at once and several entries side by side (EntryDigest::add_each).
  std::vector<EntryDigest> digests;
  digests.reserve(entries.size());  // the pieces point at them
  std::vector<EntryDigest*> piece_digest;
  std::vector<const unsigned char*> piece_bytes;
  std::vector<size_t> piece_size;
  writer.on_input([&] {
    EntryDigest::add_each(piece_digest.data(), piece_bytes.data(), piece_size.data(), piece_digest.size());
    piece_digest.clear();
    piece_bytes.clear();
    piece_size.clear();
  });
  Folders folders;
  for (const PackEntry& e : entries) {
    SourceFile in(e, folders);
    digests.emplace_back(e.name);
    EntryDigest* digest = &digests.back();
    writer.begin_entry(e.name, e.size);
    uint64_t left = e.size;
    while (left) {
      size_t room = 0;
      size_t writable = 0;
      unsigned char* space = writer.data_space(left, &room, &writable);
      const size_t got = in.read(space, room, writable, left);
      if (!piece_digest.empty() && piece_digest.back() == digest &&
          piece_bytes.back() + piece_size.back() == space) {
        piece_size.back() += got;  // the entry goes on in the same buffer
      } else {
        piece_digest.push_back(digest);
        piece_bytes.push_back(space);
        piece_size.push_back(got);
      }
      writer.commit_data(got);
      left -= got;
      if (progress) progress->advance(got);
      stop_if_interrupted();
    }
    if (progress) progress->file_done();
  }
  writer.finish();
  if (progress) progress->finished();
  totals.stored_bytes = writer.stored_size();
  totals.digests.reserve(digests.size());
  for (const EntryDigest& d : digests) totals.digests.push_back(d.value());
  return totals;
}

}  // namespace tarven
