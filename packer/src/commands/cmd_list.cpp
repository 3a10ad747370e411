// `tarven-pack list APP.exe`: the payload's entries in order, the launcher's
// texts, the resources' texts and the sizes, read from the executable without
// running it; `--json` gives the same as one JSON object for tools.
#include <cstdio>
#include <iostream>
#include <vector>

#include "commands/args.h"
#include "commands/commands.h"
#include "commands/stored_digests.h"
#include "host/errors.h"
#include "host/file_io.h"
#include "image/launcher_image.h"
#include "image/pe_image.h"
#include "image/resources.h"
#include "pack/payload_walker.h"
#include "host/utf.h"

namespace tarven {
namespace {

const char kHelp[] =
    "usage: tarven-pack list [--json] APP.exe\n"
    "\n"
    "Shows the entries of APP.exe's payload in payload order with their sizes, the\n"
    "target template, company, product, version, description and copyright, the\n"
    "subsystem (GUI or console), the mode, the execution level, the progress window,\n"
    "the launcher's size, the bytes of the files and the payload's stored size.\n"
    "--json prints one JSON object instead (names in README.md). Exit 1 if the\n"
    "payload is damaged.\n";

struct Entry {
  std::u16string name;
  uint64_t size = 0;
  uint64_t digest = 0;
};

// Decoding every byte anyway, it compares them with the stored digests too:
// a listing never presents a damaged payload as a good one.
struct Lister : EntryVisitor {
  Lister(const std::string& label, const LauncherTexts& stored) : digests(label, stored) {}
  void begin_entry(uint64_t index, const std::u16string& name, uint64_t size) override {
    digests.begin(index, name);
    entries.push_back({name, size, 0});
    file_bytes += size;
  }
  void data(const unsigned char* bytes, size_t n) override { digests.add(bytes, n); }
  void end_entry() override {
    if (!digests.matches()) throw digests.damaged();
    entries.back().digest = digests.value();
  }
  StoredDigests digests;
  std::vector<Entry> entries;
  uint64_t file_bytes = 0;
};

// The resources' texts; empty for an executable without a readable .rsrc.
ResourceTexts resource_texts(InputFile& exe) {
  PeImage image(exe, kExitFailure);
  const DataDirectory resources = image.directory(kResourceDirectoryIndex);
  if (resources.size == 0 || image.bytes_from(resources.address) < resources.size) return {};
  std::vector<unsigned char> bytes(resources.size);
  exe.read_at(image.rva_to_offset(resources.address, resources.size), bytes.data(), bytes.size());
  return read_resource_texts(bytes, resources.address);
}

std::string json_text(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string json_text(const std::u16string& text) { return json_text(utf16_to_utf8(text)); }

std::string hex64(uint64_t value) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(value));
  return buf;
}

}  // namespace

int cmd_list(const std::vector<std::string>& argv) {
  const ParsedArgs args = parse_args(argv, {{"--json", false}}, "list");
  if (args.has("--help")) {
    std::cout << kHelp;
    return kExitOk;
  }
  if (args.positionals.size() != 1) throw user_error("list: give exactly one APP.exe (see tarven-pack list --help)");
  InputFile exe(utf8_path(args.positionals[0]));
  const LauncherImage image = read_launcher_image(exe);
  const ResourceTexts resources = resource_texts(exe);
  FileRange payload(exe, image.payload_offset, image.payload_size);
  Lister lister(exe.name(), image.texts);
  // Printed only once the whole payload decoded, so damage never shows as a
  // partial listing.
  const PayloadFacts facts = walk_payload(payload, lister, exe.name());
  lister.digests.finish(facts.entries);
  const LauncherTexts& texts = image.texts;
  const uint64_t launcher_size = image.file_size - image.payload_size;
  if (args.has("--json")) {
    std::string out = "{\n  \"entries\": [";
    for (size_t i = 0; i < lister.entries.size(); ++i) {
      const Entry& e = lister.entries[i];
      out += std::string(i ? "," : "") + "\n    {\"name\": " + json_text(e.name) + ", \"size\": " +
             std::to_string(e.size) + ", \"digest\": \"" + hex64(e.digest) + "\"}";
    }
    out += std::string(lister.entries.empty() ? "" : "\n  ") + "],\n";
    out += "  \"texts\": {\"target_template\": " + json_text(texts.target_template) +
           ", \"company\": " + json_text(texts.company) + ", \"product\": " + json_text(texts.product) +
           ", \"version\": " + json_text(texts.version) + ", \"description\": " + json_text(resources.description) +
           ", \"copyright\": " + json_text(resources.copyright) + "},\n";
    out += "  \"subsystem\": \"" + std::string(image.subsystem == 3 ? "console" : "gui") + "\",\n";
    out += "  \"mode\": \"" + std::string(texts.cached ? "cached" : "unpacked") + "\",\n";
    out += "  \"execution_level\": " + json_text(resources.execution_level) + ",\n";
    out += "  \"progress_window\": " + std::string(texts.progress_window ? "true" : "false") + ",\n";
    out += "  \"payload_id\": " + (texts.payload_id.empty() ? std::string("null") : json_text(texts.payload_id)) + ",\n";
    out += "  \"sizes\": {\"executable\": " + std::to_string(image.file_size) + ", \"launcher\": " +
           std::to_string(launcher_size) + ", \"stored\": " + std::to_string(facts.stored_size) +
           ", \"files\": " + std::to_string(lister.file_bytes) + ", \"stream\": " +
           std::to_string(facts.unpacked_size) + "}\n}\n";
    std::cout << out;
    return kExitOk;
  }
  std::cout << "entries (payload order):\n";
  for (const Entry& e : lister.entries) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%14llu  ", static_cast<unsigned long long>(e.size));
    std::cout << buf << utf16_to_utf8(e.name) << "\n";
  }
  std::cout << "target template: " << utf16_to_utf8(texts.target_template) << "\n"
            << "company: " << utf16_to_utf8(texts.company) << "\n"
            << "product: " << utf16_to_utf8(texts.product) << "\n"
            << "version: " << utf16_to_utf8(texts.version) << "\n"
            << "description: " << utf16_to_utf8(resources.description) << "\n"
            << "copyright: " << utf16_to_utf8(resources.copyright) << "\n"
            << "subsystem: " << subsystem_text(image.subsystem) << "\n"
            << "mode: " << mode_text(texts.cached) << "\n"
            << "execution level: " << resources.execution_level << "\n"
            << "progress window: "
            << (texts.progress_window
                    ? "shown when unpacking takes over 0.5 s, counting to " + std::to_string(texts.unpacked_size) +
                          " bytes"
                    : std::string("none"))
            << "\n";
  if (!texts.payload_id.empty()) std::cout << "payload id: " << utf16_to_utf8(texts.payload_id) << "\n";
  std::cout << "launcher size: " << launcher_size << " bytes\n"
            << "payload: " << entries_text(facts.entries) << ", " << facts.file_bytes << " bytes of files, "
            << facts.stored_size << " bytes stored\n";
  return kExitOk;
}

}  // namespace tarven
