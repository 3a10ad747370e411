// Input collection on Windows: folder walking through std::filesystem, whose
// names come as UTF-16 already, name building and checking; see inputs.h.
// It gives the names, the order and the refusals that inputs.cpp gives on Linux.
#include "pack/inputs.h"

#ifdef _WIN32

#include <algorithm>
#include <system_error>

#include "host/errors.h"
#include "host/file_io.h"
#include "pack/input_checks.h"
#include "pack/names.h"
#include "host/utf.h"

namespace fs = std::filesystem;

namespace tarven {
namespace {

fs::file_status followed_status(const fs::path& path) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec == std::errc::too_many_symbolic_link_levels) throw user_error(display_path(path) + ": symbolic link loop");
  if (st.type() == fs::file_type::not_found) {
    if (fs::is_symlink(fs::symlink_status(path, ec)))
      throw user_error(display_path(path) + ": is a broken symbolic link");
    throw user_error(display_path(path) + ": does not exist");
  }
  if (ec) throw user_error(display_path(path) + ": " + ec.message());
  if (!fs::is_directory(st) && !fs::is_regular_file(st))
    throw user_error(display_path(path) + ": is neither a file nor a folder");
  return st;
}

// The last component of `path` (or `name` when given) as a payload name
// component: a Linux name's UTF-8 bytes decoded, a Windows name's UTF-16 as
// it is, so one folder gives the same names on both.
std::u16string component(const fs::path& path, const fs::path& name = {}) {
  return payload_component(path.native(), name_utf16(name.empty() ? path.filename() : name), kNameEncoding);
}

class Collector {
 public:
  Collector(const fs::path& output, CollectNotes* notes) : notes_(notes) {
    if (output.empty()) return;
    std::error_code ec;
    output_ = fs::absolute(output, ec).lexically_normal();
    output_temp_prefix_ = (fs::path(".") += output_.filename()).native() + fs::path(".tmp-").native();
  }

  void add_file(const fs::path& source, const std::u16string& name) {
    std::error_code ec;
    const uint64_t size = fs::file_size(source, ec);
    if (ec) throw user_error(display_path(source) + ": cannot read its size: " + ec.message());
    entries_.push_back({name, source.native(), size});
  }

  // Like `cp -r DIR dest/`: names start with the folder's own name.
  void add_folder(const fs::path& dir, const std::u16string& place) {
    if (!place.empty()) {
      std::vector<fs::path> ancestors{dir};
      walk(dir, place, ancestors);
      return;
    }
    fs::path named = dir;
    while (!named.empty() && !named.has_filename() && named.has_relative_path())
      named = named.parent_path();
    fs::path own = named.filename();
    if (own.empty() || own == "." || own == "..") {
      std::error_code ec;
      own = fs::weakly_canonical(fs::absolute(dir), ec).filename();
    }
    if (own.empty()) throw user_error(display_path(dir) + ": is the root folder; name a folder inside it");
    std::vector<fs::path> ancestors{dir};
    walk(dir, component(dir, own), ancestors);
  }

  std::vector<PackEntry>& entries() { return entries_; }

 private:
  void walk(const fs::path& dir, const std::u16string& prefix, std::vector<fs::path>& ancestors) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) throw user_error(display_path(dir) + ": cannot list the folder: " + ec.message());
    const size_t before = entries_.size();
    bool skipped = false;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      const fs::path path = it->path();
      if (is_output(path)) {
        skipped = true;
        continue;
      }
      const std::u16string name = prefix + u"\\" + component(path);
      const fs::file_status st = followed_status(path);
      if (fs::is_directory(st)) {
        for (const fs::path& above : ancestors)
          if (fs::equivalent(path, above, ec))
            throw user_error(display_path(path) + ": symbolic link loop (leads back to " +
                             display_path(above) + ")");
        ancestors.push_back(path);
        walk(path, name, ancestors);
        ancestors.pop_back();
      } else {
        add_file(path, name);
      }
    }
    if (ec) throw user_error(display_path(dir) + ": cannot list the folder: " + ec.message());
    if (entries_.size() == before && !skipped && notes_ != nullptr)
      notes_->warnings.push_back("warning: " + display_path(dir) +
                                 ": an empty folder; the payload holds files only, so it is not packed");
  }

  // The executable being written, or the packer's temporary copy of it.
  bool is_output(const fs::path& path) const {
    if (output_.empty()) return false;
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec).lexically_normal();
    if (absolute.parent_path() != output_.parent_path()) return false;
    const fs::path::string_type& name = absolute.filename().native();
    return name == output_.filename().native() || name.rfind(output_temp_prefix_, 0) == 0;
  }

  std::vector<PackEntry> entries_;
  CollectNotes* notes_;
  fs::path output_;
  fs::path::string_type output_temp_prefix_;
};

}  // namespace

std::vector<PackEntry> collect_inputs(const fs::path& entry_dll, const std::vector<fs::path>& inputs,
                                      const fs::path& output, CollectNotes* notes,
                                      const std::vector<std::u16string>& places) {
  Collector collector(output, notes);
  // The same file or folder named twice would clash with itself: say so.
  refuse_inputs_named_twice(entry_dll, inputs);
  if (!fs::is_regular_file(followed_status(entry_dll)))
    throw user_error(display_path(entry_dll) + ": the entry must be a DLL file, not a folder");
  collector.add_file(entry_dll, component(entry_dll));
  for (size_t i = 0; i < inputs.size(); ++i) {
    const fs::path& input = inputs[i];
    const std::u16string place = i < places.size() ? places[i] : u"";
    if (fs::is_directory(followed_status(input)))
      collector.add_folder(input, place);
    else
      collector.add_file(input, place.empty() ? component(input) : place);
  }

  std::vector<PackEntry>& entries = collector.entries();
  std::stable_sort(entries.begin() + 1, entries.end(),
                   [](const PackEntry& a, const PackEntry& b) { return a.name < b.name; });
  refuse_bad_payload_names(entries, true);
  return std::move(entries);
}

}  // namespace tarven

#endif  // _WIN32
