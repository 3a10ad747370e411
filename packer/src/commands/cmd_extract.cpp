// `tarven-pack extract APP.exe DIR`: writes the files the launcher would write,
// as Windows would name them (names differing only in case are one file, a
// later entry replaces an earlier one), without running anything.
#include <iostream>
#include <memory>
#include <unordered_map>

#include "commands/args.h"
#include "pack/case_fold.h"
#include "commands/commands.h"
#include "commands/stored_digests.h"
#include "host/errors.h"
#include "host/file_io.h"
#include "image/launcher_image.h"
#include "pack/names.h"
#include "pack/payload_walker.h"
#include "host/utf.h"

namespace fs = std::filesystem;

namespace tarven {
namespace {

const char kHelp[] =
    "usage: tarven-pack extract APP.exe DIR\n"
    "\n"
    "Writes the files of APP.exe's payload under DIR (which must be empty or absent)\n"
    "as the launcher would: names are case-insensitive, later entries of the same\n"
    "name replace earlier ones, names that would leave DIR are refused.\n";

class Extractor : public EntryVisitor {
 public:
  Extractor(const fs::path& root, const std::string& label, const LauncherTexts& stored)
      : root_(root), label_(label), digests_(label, stored) {}
  // A file cut short by damage found inside it is not left as if it were good.
  ~Extractor() { drop_file(); }
  Extractor(const Extractor&) = delete;
  Extractor& operator=(const Extractor&) = delete;

  void begin_entry(uint64_t index, const std::u16string& name, uint64_t) override {
    const std::string entry = entry_label(index, name);
    // The name rules keep every name inside DIR: no absolute, drive, '.' or '..' parts.
    const std::string problem = name_problem(name);
    if (!problem.empty()) throw failure(label_ + ": " + entry + " " + problem);
    fs::path path = root_;
    std::u16string folded;
    size_t start = 0;
    while (true) {
      const size_t end = name.find(u'\\', start);
      const std::u16string part = name.substr(start, end - start);
      folded += fold_case(part);
      const bool is_file = end == std::u16string::npos;
      auto found = seen_.find(folded);
      if (found != seen_.end()) {
        if (found->second.is_file != is_file)
          throw failure(label_ + ": " + entry + " needs " + display_path(found->second.path) +
                        (is_file ? ", a folder, as a file" : ", a file, as a folder"));
        path = found->second.path;
      } else {
        path /= utf8_path(utf16_to_utf8(part));
        seen_.emplace(folded, Seen{path, is_file});
        std::error_code ec;
        if (!is_file && !fs::create_directory(path, ec) && ec)
          throw failure(display_path(path) + ": cannot create: " + ec.message());
      }
      if (is_file) break;
      folded += u'\\';
      start = end + 1;
    }
    digests_.begin(index, name);
    out_ = std::make_unique<OutputFile>(path);
    out_path_ = path;
    ++files_;
  }

  void data(const unsigned char* bytes, size_t n) override {
    digests_.add(bytes, n);
    out_->write(bytes, n);
  }

  void end_entry() override {
    if (!digests_.matches()) {
      drop_file();
      throw digests_.damaged(" (not written)");
    }
    out_->close();
    out_.reset();
  }

  const StoredDigests& digests() const { return digests_; }

  uint64_t files() const { return files_; }

 private:
  void drop_file() {
    if (!out_) return;
    out_.reset();
    std::error_code ignored;
    fs::remove(out_path_, ignored);
  }

  struct Seen {
    fs::path path;
    bool is_file;
  };
  fs::path root_;
  const std::string& label_;
  std::unordered_map<std::u16string, Seen> seen_;  // folded name -> what is on disk
  StoredDigests digests_;
  std::unique_ptr<OutputFile> out_;
  fs::path out_path_;
  uint64_t files_ = 0;
};

}  // namespace

int cmd_extract(const std::vector<std::string>& argv) {
  const ParsedArgs args = parse_args(argv, {}, "extract");
  if (args.has("--help")) {
    std::cout << kHelp;
    return kExitOk;
  }
  if (args.positionals.size() != 2)
    throw user_error("extract: give APP.exe and DIR (see tarven-pack extract --help)");
  InputFile exe(utf8_path(args.positionals[0]));
  const fs::path dir = utf8_path(args.positionals[1]);
  std::error_code ec;
  // Only a folder this command creates or finds empty is safe from links
  // that would send files elsewhere.
  if (fs::exists(fs::symlink_status(dir, ec))) {
    if (!fs::is_directory(fs::symlink_status(dir, ec)) || !fs::is_empty(dir, ec))
      throw user_error(display_path(dir) + ": must be an empty folder or not exist");
  } else if (!fs::create_directories(dir, ec)) {
    throw user_error(display_path(dir) + ": cannot create: " + ec.message());
  }
  const LauncherImage image = read_launcher_image(exe);
  FileRange payload(exe, image.payload_offset, image.payload_size);
  Extractor extractor(long_path(dir), exe.name(), image.texts);
  const PayloadFacts facts = walk_payload(payload, extractor, exe.name());
  extractor.digests().finish(facts.entries);
  std::cerr << "tarven-pack: extracted " << entries_text(facts.entries) << " (" << facts.file_bytes
            << " bytes of files) into " << display_path(dir) << "\n";
  return kExitOk;
}

}  // namespace tarven
