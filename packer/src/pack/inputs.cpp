// Input collection on Linux: folder walking with the system's own calls
// (relative to open folders, on several threads), name building and
// checking; see inputs.h. Windows has inputs_windows.cpp.
#include "pack/inputs.h"

#ifndef _WIN32

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "host/errors.h"
#include "host/file_io.h"
#include "pack/input_checks.h"
#include "pack/names.h"
#include "host/utf.h"

namespace fs = std::filesystem;

namespace tarven {
namespace {

// What a name leads to once symbolic links are followed: one stat call.
struct Found {
  bool folder = false;
  uint64_t size = 0;
  dev_t device = 0;
  ino_t inode = 0;
};

std::string reason(int error) { return std::generic_category().message(error); }

// `name` is looked up in the folder open as `dir_fd` (AT_FDCWD: `name` is
// `path`); `path` names it in messages.
Found followed(int dir_fd, const char* name, const std::string& path) {
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, 0) != 0) {
    const int error = errno;
    if (error == ELOOP) throw user_error(display_path(path) + ": symbolic link loop");
    if (error == ENOENT || error == ENOTDIR) {
      struct stat link {};
      if (::fstatat(dir_fd, name, &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode))
        throw user_error(display_path(path) + ": is a broken symbolic link");
      throw user_error(display_path(path) + ": does not exist");
    }
    throw user_error(display_path(path) + ": " + reason(error));
  }
  if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
    throw user_error(display_path(path) + ": is neither a file nor a folder");
  return {S_ISDIR(st.st_mode), static_cast<uint64_t>(st.st_size), st.st_dev, st.st_ino};
}

Found followed(const fs::path& path) { return followed(AT_FDCWD, path.c_str(), path.native()); }

// An open folder, listed with readdir: the walk looks names up relative to
// it (fstatat), which costs less than a lookup of the whole path per file.
class Folder {
 public:
  explicit Folder(const fs::path& path) : path_(path) {
    dir_ = ::opendir(path.c_str());
    if (!dir_) fail(errno);
  }
  ~Folder() { ::closedir(dir_); }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  int fd() const { return ::dirfd(dir_); }
  // The next name other than . and .., or nullptr at the end.
  const char* next() {
    while (true) {
      errno = 0;
      const dirent* entry = ::readdir(dir_);
      if (!entry) {
        if (errno != 0) fail(errno);
        return nullptr;
      }
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      return name;
    }
  }

 private:
  [[noreturn]] void fail(int error) const {
    throw user_error(display_path(path_) + ": cannot list the folder: " + reason(error));
  }

  const fs::path& path_;
  DIR* dir_ = nullptr;
};

// One Linux name component as UTF-16; `path` is only for the message.
std::u16string component(const std::string& path, const std::string& utf8) {
  return payload_component(path, utf8_to_utf16(utf8), "UTF-8");
}

// `dir / leaf` as the system's text, as a path would join them.
std::string joined(const std::string& dir, const char* leaf) {
  std::string path;
  path.reserve(dir.size() + 1 + std::strlen(leaf));
  path = dir;
  if (!path.empty() && path.back() != '/') path += '/';
  return path += leaf;
}

// What decides whether a name in a folder is the executable being written
// (or the packer's temporary copy of it beside it), which is never packed.
class OutputRule {
 public:
  explicit OutputRule(const fs::path& output) {
    if (output.empty()) return;
    std::error_code ec;
    output_ = fs::absolute(output, ec).lexically_normal();
    name_ = output_.filename().string();
    temp_prefix_ = "." + name_ + ".tmp-";
  }

  // Whether names in `dir` may be the output: once per folder, the names
  // themselves then compare cheaply.
  bool in_output_folder(const fs::path& dir) const {
    if (output_.empty()) return false;
    std::error_code ec;
    return fs::absolute(dir / "x", ec).lexically_normal().parent_path() == output_.parent_path();
  }
  bool is_output_name(const char* name) const {
    return name_ == name || std::strncmp(name, temp_prefix_.c_str(), temp_prefix_.size()) == 0;
  }

 private:
  fs::path output_;
  std::string name_;
  std::string temp_prefix_;
};

// Payload order: by UTF-16 code units, compared four at a time.
bool by_name(const PackEntry& a, const PackEntry& b) {
  const char16_t* p = a.name.data();
  const char16_t* q = b.name.data();
  const size_t n = a.name.size() < b.name.size() ? a.name.size() : b.name.size();
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint64_t x, y;
    std::memcpy(&x, p + i, 8);
    std::memcpy(&y, q + i, 8);
    if (x != y) break;
  }
  for (; i < n; ++i)
    if (p[i] != q[i]) return p[i] < q[i];
  return a.name.size() < b.name.size();
}

// The folders above one being listed, for symbolic link loops.
struct Ancestor {
  fs::path path;
  dev_t device;
  ino_t inode;
  std::shared_ptr<const Ancestor> up;
};

// Walks one folder input like `cp -r`, listing its folders on several
// threads: a tree of many small files costs a lookup per file, which is most
// of the time collecting takes. Each thread sorts what it found, and the
// sorted runs are merged. Nothing depends on the threads: not the entries,
// not the warnings, and when several things are refused, the one in the
// first folder by path is.
class FolderWalk {
 public:
  FolderWalk(const OutputRule& output, const fs::path& top, std::u16string name, const Found& found)
      : output_(output) {
    folders_.push_back({top, kNoParent, 0, false});
    auto top_ancestor = std::make_shared<const Ancestor>(Ancestor{top, found.device, found.inode, nullptr});
    pending_.push_back({0, std::move(name), std::move(top_ancestor)});
  }

  void run(unsigned threads) {
    std::vector<std::thread> helpers;
    try {
      for (unsigned i = 1; i < threads; ++i) helpers.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      // No more threads to be had: the ones there are walk the tree.
    }
    work();
    for (std::thread& helper : helpers) helper.join();
    if (!refusals_.empty()) {
      auto first = std::min_element(refusals_.begin(), refusals_.end(),
                                    [](const Refusal& a, const Refusal& b) { return a.where < b.where; });
      throw Failure(first->exit_code, first->line);
    }
  }

  // The entries, sorted by name.
  std::vector<PackEntry>& entries() {
    for (std::vector<PackEntry>& run : runs_) {
      if (entries_.empty()) {
        entries_ = std::move(run);
        continue;
      }
      std::vector<PackEntry> merged;
      merged.reserve(entries_.size() + run.size());
      std::merge(std::make_move_iterator(entries_.begin()), std::make_move_iterator(entries_.end()),
                 std::make_move_iterator(run.begin()), std::make_move_iterator(run.end()),
                 std::back_inserter(merged), by_name);
      entries_ = std::move(merged);
    }
    runs_.clear();
    return entries_;
  }
  // Whether some name breaks a name rule (the caller finds which).
  bool bad_name() const { return bad_name_; }

  // A folder whose whole tree holds no file to pack (a name skipped as the
  // output aside), children before their parents.
  std::vector<std::string> empty_folders() {
    std::vector<uint64_t> files(folders_.size());
    for (size_t id = folders_.size(); id-- > 0;) {  // children have larger ids than their parent
      files[id] += folders_[id].files;
      if (folders_[id].parent != kNoParent) files[folders_[id].parent] += files[id];
    }
    std::vector<const fs::path*> empty;
    for (size_t id = 0; id < folders_.size(); ++id)
      if (files[id] == 0 && !folders_[id].skipped) empty.push_back(&folders_[id].path);
    std::sort(empty.begin(), empty.end(),
              [](const fs::path* a, const fs::path* b) { return a->native() > b->native(); });
    std::vector<std::string> lines;
    for (const fs::path* path : empty)
      lines.push_back("warning: " + display_path(*path) +
                      ": an empty folder; the payload holds files only, so it is not packed");
    return lines;
  }

 private:
  static constexpr size_t kNoParent = ~size_t{0};

  struct FolderInfo {
    fs::path path;
    size_t parent;
    uint64_t files;
    bool skipped;  // it held the output, which is not packed
  };
  struct Job {
    size_t id;
    std::u16string name;
    std::shared_ptr<const Ancestor> ancestors;  // the folder itself first
  };
  struct Refusal {
    std::string where;
    int exit_code;
    std::string line;
  };
  struct Listing {
    uint64_t files = 0;
    bool skipped = false;
    bool bad_name = false;
    std::vector<std::pair<fs::path, Job>> folders;
  };

  void work() {
    std::vector<PackEntry> found;
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      wake_.wait(lock, [this] { return !pending_.empty() || busy_ == 0; });
      if (pending_.empty()) break;  // and no one busy: nothing more will come
      Job job = std::move(pending_.back());
      pending_.pop_back();
      ++busy_;
      const fs::path dir = folders_[job.id].path;
      lock.unlock();
      Listing listing;
      try {
        list(dir, job, found, listing);
      } catch (const Failure& f) {
        listing.folders.clear();
        lock.lock();
        refusals_.push_back({dir.native(), f.exit_code(), f.what()});
        lock.unlock();
      } catch (const std::exception& e) {  // out of memory: the walk ends all the same
        listing.folders.clear();
        lock.lock();
        refusals_.push_back({dir.native(), kExitFailure, display_path(dir) + ": " + e.what()});
        lock.unlock();
      }
      lock.lock();
      folders_[job.id].files = listing.files;
      folders_[job.id].skipped = listing.skipped;
      bad_name_ = bad_name_ || listing.bad_name;
      for (auto& [path, child] : listing.folders) {
        child.id = folders_.size();
        folders_.push_back({std::move(path), job.id, 0, false});
        pending_.push_back(std::move(child));
      }
      --busy_;
      wake_.notify_all();
    }
    lock.unlock();
    std::sort(found.begin(), found.end(), by_name);  // no two are equal: they are names in one tree
    lock.lock();
    runs_.push_back(std::move(found));
  }

  void list(const fs::path& dir, const Job& job, std::vector<PackEntry>& found, Listing& listing) const {
    Folder folder(dir);
    const bool beside_output = output_.in_output_folder(dir);
    while (const char* leaf = folder.next()) {
      if (beside_output && output_.is_output_name(leaf)) {
        listing.skipped = true;
        continue;
      }
      std::string path = joined(dir.native(), leaf);
      std::u16string name = job.name + u"\\" + component(path, leaf);
      const Found item = followed(folder.fd(), leaf, path);
      if (item.folder) {
        for (const Ancestor* above = job.ancestors.get(); above; above = above->up.get())
          if (above->device == item.device && above->inode == item.inode)
            throw user_error(display_path(path) + ": symbolic link loop (leads back to " +
                             display_path(above->path) + ")");
        auto chain = std::make_shared<const Ancestor>(Ancestor{path, item.device, item.inode, job.ancestors});
        listing.folders.push_back({std::move(path), Job{0, std::move(name), std::move(chain)}});
      } else {
        if (!name_problem(name).empty()) listing.bad_name = true;
        found.push_back({std::move(name), std::move(path), item.size});
        ++listing.files;
      }
    }
  }

  const OutputRule& output_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Job> pending_;
  size_t busy_ = 0;
  std::vector<FolderInfo> folders_;  // by id
  std::vector<Refusal> refusals_;
  std::vector<std::vector<PackEntry>> runs_;  // each thread's entries, sorted
  std::vector<PackEntry> entries_;
  bool bad_name_ = false;
};

// Threads listing folders: the machine's cores, a few at most (each waits
// on the system for most of its time).
unsigned walk_threads() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores < 1 ? 1 : cores > 4 ? 4 : cores;
}

// The name a folder input gets, like `cp -r DIR dest/`: its own name.
std::u16string folder_name(const fs::path& dir) {
  fs::path named = dir;
  while (!named.empty() && !named.has_filename() && named.has_relative_path()) named = named.parent_path();
  std::string own = named.filename().string();
  if (own.empty() || own == "." || own == "..") {
    std::error_code ec;
    own = fs::weakly_canonical(fs::absolute(dir), ec).filename().string();
  }
  if (own.empty()) throw user_error(display_path(dir) + ": is the root folder; name a folder inside it");
  return component(dir.native(), own);
}

}  // namespace

std::vector<PackEntry> collect_inputs(const fs::path& entry_dll, const std::vector<fs::path>& inputs,
                                      const fs::path& output, CollectNotes* notes,
                                      const std::vector<std::u16string>& places) {
  const OutputRule output_rule(output);
  // The same file or folder named twice would clash with itself: say so.
  refuse_inputs_named_twice(entry_dll, inputs);
  std::vector<PackEntry> entries;
  bool bad_name = false;  // some name breaks a rule: find the first in payload order
  auto add_file = [&](const fs::path& path, const Found& found, const std::u16string& place) {
    entries.push_back({place.empty() ? component(path.native(), path.filename().string()) : place, path.native(),
                       found.size});
    if (!name_problem(entries.back().name).empty()) bad_name = true;
  };
  const Found entry = followed(entry_dll);
  if (entry.folder)
    throw user_error(display_path(entry_dll) + ": the entry must be a DLL file, not a folder");
  add_file(entry_dll, entry, u"");
  for (size_t i = 0; i < inputs.size(); ++i) {
    const fs::path& input = inputs[i];
    const std::u16string place = i < places.size() ? places[i] : u"";
    const Found found = followed(input);
    if (!found.folder) {
      add_file(input, found, place);
      continue;
    }
    // Each input's entries follow the previous inputs', so the stable sort
    // below orders equal names (a clash) by input, as given.
    FolderWalk walk(output_rule, input, place.empty() ? folder_name(input) : place, found);
    walk.run(walk_threads());
    std::vector<PackEntry>& walked = walk.entries();
    entries.insert(entries.end(), std::make_move_iterator(walked.begin()),
                   std::make_move_iterator(walked.end()));
    bad_name = bad_name || walk.bad_name();
    if (notes != nullptr)
      for (std::string& line : walk.empty_folders()) notes->warnings.push_back(std::move(line));
  }

  // A single folder input comes sorted already.
  if (!std::is_sorted(entries.begin() + 1, entries.end(), by_name))
    std::stable_sort(entries.begin() + 1, entries.end(), by_name);
  refuse_bad_payload_names(entries, bad_name);
  return entries;
}

}  // namespace tarven

#endif  // !_WIN32
