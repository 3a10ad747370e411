// `tarven-pack list APP.exe`: the payload's entries in order, the launcher's
// texts and the sizes, read from the executable without running it.
#include <cstdio>
#include <iostream>
#include <vector>

#include "commands/args.h"
#include "commands/commands.h"
#include "commands/stored_digests.h"
#include "host/errors.h"
#include "host/file_io.h"
#include "image/launcher_image.h"
#include "pack/payload_walker.h"
#include "host/utf.h"

namespace tarven {
namespace {

const char kHelp[] =
    "usage: tarven-pack list APP.exe\n"
    "\n"
    "Shows the entries of APP.exe's payload in payload order with their sizes, the\n"
    "target template, company, product and version, the subsystem (GUI or console),\n"
    "the mode, the launcher's size and the payload's stored and unpacked sizes. Exit 1 if the payload is damaged.\n";

// Decoding every byte anyway, it compares them with the stored digests too:
// a listing never presents a damaged payload as a good one.
struct Lister : EntryVisitor {
  Lister(const std::string& label, const LauncherTexts& stored) : digests(label, stored) {}
  void begin_entry(uint64_t index, const std::u16string& name, uint64_t size) override {
    digests.begin(index, name);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%14llu  ", static_cast<unsigned long long>(size));
    lines.push_back(buf + utf16_to_utf8(name));
  }
  void data(const unsigned char* bytes, size_t n) override { digests.add(bytes, n); }
  void end_entry() override {
    if (!digests.matches()) throw digests.damaged();
  }
  StoredDigests digests;
  std::vector<std::string> lines;
};

}  // namespace

int cmd_list(const std::vector<std::string>& argv) {
  const ParsedArgs args = parse_args(argv, {}, "list");
  if (args.has("--help")) {
    std::cout << kHelp;
    return kExitOk;
  }
  if (args.positionals.size() != 1) throw user_error("list: give exactly one APP.exe (see tarven-pack list --help)");
  InputFile exe(utf8_path(args.positionals[0]));
  const LauncherImage image = read_launcher_image(exe);
  FileRange payload(exe, image.payload_offset, image.payload_size);
  Lister lister(exe.name(), image.texts);
  // Printed only once the whole payload decoded, so damage never shows as a
  // partial listing.
  const PayloadFacts facts = walk_payload(payload, lister, exe.name());
  lister.digests.finish(facts.entries);
  std::cout << "entries (payload order):\n";
  for (const std::string& line : lister.lines) std::cout << line << "\n";
  std::cout << "target template: " << utf16_to_utf8(image.texts.target_template) << "\n"
            << "company: " << utf16_to_utf8(image.texts.company) << "\n"
            << "product: " << utf16_to_utf8(image.texts.product) << "\n"
            << "version: " << utf16_to_utf8(image.texts.version) << "\n"
            << "subsystem: " << subsystem_text(image.subsystem) << "\n"
            << "mode: " << mode_text(image.texts.cached) << "\n";
  if (!image.texts.payload_id.empty()) std::cout << "payload id: " << utf16_to_utf8(image.texts.payload_id) << "\n";
  std::cout
            << "launcher size: " << image.file_size - image.payload_size << " bytes\n"
            << "payload: " << entries_text(facts.entries) << ", " << facts.stored_size << " bytes stored, "
            << facts.unpacked_size << " bytes unpacked\n";
  return kExitOk;
}

}  // namespace tarven
