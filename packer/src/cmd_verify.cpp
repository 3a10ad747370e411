// `tarven-pack verify APP.exe`: decodes the whole payload and applies every
// check the launcher relies on, plus build's name rules.
#include <iostream>

#include "args.h"
#include "commands.h"
#include "errors.h"
#include "file_io.h"
#include "launcher_image.h"
#include "names.h"
#include "payload_walker.h"
#include "utf.h"

namespace tarven {
namespace {

const char kHelp[] =
    "usage: tarven-pack verify APP.exe\n"
    "\n"
    "Decodes APP.exe's whole payload and checks the marker, the zstd frame (one\n"
    "frame, window at most 2^27, nothing but the trailer after it), the trailer,\n"
    "every entry name and the end record. Exit 0 with a summary line, 1 with the\n"
    "first problem found, 2 for a usage mistake.\n";

class NameChecker : public EntryVisitor {
 public:
  explicit NameChecker(const std::string& label) : label_(label) {}
  void begin_entry(uint64_t index, const std::u16string& name, uint64_t) override {
    const std::string entry = "entry " + std::to_string(index + 1) + " '" + utf16_to_utf8(name) + "'";
    std::string problem = name_problem(name);
    if (problem.empty()) problem = clashes_.add(name, entry);
    if (!problem.empty()) throw failure(label_ + ": " + entry + " " + problem);
  }
  void data(const unsigned char*, size_t) override {}
  void end_entry() override {}

 private:
  const std::string& label_;
  NameClashes clashes_;
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
  InputFile exe(args.positionals[0]);
  const LauncherImage image = read_launcher_image(exe);
  FileRange payload(exe, image.payload_offset, image.payload_size);
  NameChecker checker(exe.name());
  const PayloadFacts facts = walk_payload(payload, checker, exe.name());
  if (facts.entries == 0) throw failure(exe.name() + ": the payload has no entries, so nothing to run");
  std::cout << exe.name() << ": OK: " << facts.entries << " entries, " << facts.unpacked_size
            << " bytes unpacked from " << facts.stored_size << " stored, zstd window "
            << window_text(facts.window_size) << (facts.has_checksum ? ", with checksum" : "") << "\n";
  return kExitOk;
}

}  // namespace tarven
