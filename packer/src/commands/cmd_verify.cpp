// `tarven-pack verify APP.exe`: decodes the whole payload and applies every
// check the launcher relies on, plus build's name rules.
#include <iostream>

#include "commands/args.h"
#include "commands/commands.h"
#include "pack/entry_digest.h"
#include "host/errors.h"
#include "host/file_io.h"
#include "image/launcher_image.h"
#include "pack/names.h"
#include "pack/payload_walker.h"
#include "host/utf.h"

namespace tarven {
namespace {

const char kHelp[] =
    "usage: tarven-pack verify APP.exe\n"
    "\n"
    "Decodes APP.exe's whole payload and checks the marker, the zstd frame (one\n"
    "frame, window at most 2^27, nothing but the trailer after it), the trailer,\n"
    "every entry name and the end record, and each entry against the digest build\n"
    "stored for it. Exit 0 with a summary line, 1 with the first problem found\n"
    "(a damaged entry by name), 2 for a usage mistake.\n";

// Applies build's name rules to each entry and, where build stored digests,
// compares each entry's digest with its own.
class EntryChecker : public EntryVisitor {
 public:
  EntryChecker(const std::string& label, const LauncherTexts& stored) : label_(label), stored_(stored) {}
  void begin_entry(uint64_t index, const std::u16string& name, uint64_t) override {
    entry_ = "entry " + std::to_string(index + 1) + " '" + utf16_to_utf8(name) + "'";
    std::string problem = name_problem(name);
    if (problem.empty()) problem = clashes_.add(name, entry_);
    if (!problem.empty()) throw failure(label_ + ": " + entry_ + " " + problem);
    if (stored_.has_digests && index >= stored_.digests.size())
      throw failure(label_ + ": " + entry_ + " is not among the " + std::to_string(stored_.digests.size()) +
                    " entries whose digests were stored when it was built");
    index_ = index;
    digest_ = EntryDigest(name);
  }
  void data(const unsigned char* bytes, size_t n) override { digest_.add(bytes, n); }
  void end_entry() override {
    if (stored_.has_digests && digest_.value() != stored_.digests[index_])
      throw failure(label_ + ": " + entry_ + " is damaged: its bytes differ from those it was built with");
  }

 private:
  const std::string& label_;
  const LauncherTexts& stored_;
  NameClashes clashes_;
  std::string entry_;
  uint64_t index_ = 0;
  EntryDigest digest_{u""};
};

std::string window_text(uint64_t bytes) {
  for (int log = 10; log <= 31; ++log)
    if (bytes == (uint64_t{1} << log)) return "2^" + std::to_string(log);
  return std::to_string(bytes) + " bytes";
}

}  // namespace

int cmd_verify(const std::vector<std::string>& argv) {
  const ParsedArgs args = parse_args(argv, {}, "verify");
  if (args.has("--help")) {
    std::cout << kHelp;
    return kExitOk;
  }
  if (args.positionals.size() != 1)
    throw user_error("verify: give exactly one APP.exe (see tarven-pack verify --help)");
  InputFile exe(utf8_path(args.positionals[0]));
  const LauncherImage image = read_launcher_image(exe);
  FileRange payload(exe, image.payload_offset, image.payload_size);
  EntryChecker checker(exe.name(), image.texts);
  const PayloadFacts facts = walk_payload(payload, checker, exe.name());
  if (facts.entries == 0) throw failure(exe.name() + ": the payload has no entries, so nothing to run");
  if (image.texts.has_digests && facts.entries != image.texts.digests.size())
    throw failure(exe.name() + ": the payload holds " + std::to_string(facts.entries) + " entries, but " +
                  std::to_string(image.texts.digests.size()) + " digests were stored when it was built");
  if (!image.texts.has_digests)
    std::cout << exe.name() << ": no digest is stored (an older tarven-pack or a raw payload built it): "
                 "changed bytes inside the frame cannot be seen\n";
  std::cout << exe.name() << ": OK: " << facts.entries << " entries, " << facts.unpacked_size
            << " bytes unpacked from " << facts.stored_size << " stored, zstd window "
            << window_text(facts.window_size) << (facts.has_checksum ? ", with checksum" : "") << "\n";
  return kExitOk;
}

}  // namespace tarven
