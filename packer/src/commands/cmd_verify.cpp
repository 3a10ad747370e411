// `tarven-pack verify APP.exe`: decodes the whole payload and applies every
// check the launcher relies on, plus build's name rules.
#include <algorithm>
#include <iostream>

#include "commands/args.h"
#include "commands/commands.h"
#include "commands/stored_digests.h"
#include "host/errors.h"
#include "host/file_io.h"
#include "image/embedded.h"
#include "image/image_check.h"
#include "image/launcher_image.h"
#include "image/pe_image.h"
#include "pack/names.h"
#include "pack/payload_walker.h"
#include "host/utf.h"

namespace tarven {
namespace {

const char kHelp[] =
    "usage: tarven-pack verify APP.exe\n"
    "\n"
    "Checks the whole of APP.exe: the launcher's code against the launcher this\n"
    "tarven-pack carries, the resources and each entry against the digests build\n"
    "stored, the header's checksum over every byte; and it decodes the whole payload,\n"
    "checking the marker, the zstd frame (one frame, window at most 2^27, nothing but\n"
    "the trailer after it), the trailer, every entry name and the end record.\n"
    "Exit 0 with a summary line, 1 naming what is damaged (the launcher code, the\n"
    "resources, an entry by name), 2 for a usage mistake.\n";

// Applies build's name rules to each entry and, where build stored digests,
// compares each entry's digest with its own.
class EntryChecker : public EntryVisitor {
 public:
  EntryChecker(const std::string& label, const LauncherTexts& stored) : label_(label), digests_(label, stored) {}
  void begin_entry(uint64_t index, const std::u16string& name, uint64_t) override {
    const std::string entry = entry_label(index, name);
    std::string problem = name_problem(name);
    if (problem.empty()) problem = clashes_.add(name, entry);
    if (!problem.empty()) throw failure(label_ + ": " + entry + " " + problem);
    digests_.begin(index, name);
  }
  void data(const unsigned char* bytes, size_t n) override { digests_.add(bytes, n); }
  void end_entry() override {
    if (!digests_.matches()) throw digests_.damaged();
  }
  const StoredDigests& digests() const { return digests_; }

 private:
  const std::string& label_;
  NameClashes clashes_;
  StoredDigests digests_;
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
  const PeImage pe(exe, kExitFailure);
  auto damaged = [&](const std::string& what) { return failure(exe.name() + ": " + what); };
  // The checksum covers every byte; the parts that can be told apart are
  // checked first, so that damage is named where it lies.
  const bool checksum_ok = checksum_matches(exe, pe);
  std::string launcher_note;
  if (image.has_slots) {
    const std::string section =
        launcher_difference(exe, pe, embedded_launcher(image.subsystem == kSubsystemConsole));
    // Intact since it was written (its checksum says so), the launcher is
    // that of another tarven-pack version.
    if (!section.empty() && !checksum_ok)
      throw damaged("the launcher code is damaged: its " + section +
                    " differs from the launcher tarven-pack carries");
    if (!section.empty())
      launcher_note = exe.name() + ": the launcher is not the one this tarven-pack carries "
                      "(another version built it); its checksum is right\n";
  }
  if (image.texts.has_resource_digest && !resources_match(exe, pe, image.texts.resource_digest))
    throw damaged("the resources are damaged: their bytes differ from those it was built with");
  FileRange payload(exe, image.payload_offset, image.payload_size);
  EntryChecker checker(exe.name(), image.texts);
  const PayloadFacts facts = walk_payload(payload, checker, exe.name());
  if (facts.entries == 0) throw failure(exe.name() + ": the payload has no entries, so nothing to run");
  checker.digests().finish(facts.entries);
  if (!checksum_ok) {
    // Bytes past the image's end (its last section, or the certificate table
    // a signing tool appends) were added after it was built.
    uint64_t image_end = 0;
    for (const PeSection& s : pe.sections())
      image_end = std::max<uint64_t>(image_end, uint64_t{s.raw_offset} + s.raw_size);
    const DataDirectory certificates = pe.directory(kCertificateDirectoryIndex);
    if (certificates.size) image_end = std::max<uint64_t>(image_end, uint64_t{certificates.address} + certificates.size);
    if (image.file_size > image_end)
      throw damaged(std::to_string(image.file_size - image_end) + " bytes follow the end of its image at byte " +
                    std::to_string(image_end) + ": something appended them after it was built (the checksum covers "
                    "every byte); the launcher, resources and entries are intact");
    throw damaged("the checksum in its header does not match its bytes: damaged outside the launcher's code, "
                  "the resources and the entries (in its headers, texts or padding)");
  }
  std::cout << launcher_note;
  if (!image.texts.has_digests)
    std::cout << exe.name() << ": no digest is stored (an older tarven-pack or a raw payload built it): "
                 "changed bytes inside the frame cannot be seen\n";
  std::cout << exe.name() << ": OK: " << entries_text(facts.entries) << ", " << facts.file_bytes
            << " bytes of files; a stream of " << facts.unpacked_size << " bytes decoded from " << facts.stored_size
            << " stored, zstd window "
            << window_text(facts.window_size) << (facts.has_checksum ? ", with checksum" : "") << "\n";
  return kExitOk;
}

}  // namespace tarven
