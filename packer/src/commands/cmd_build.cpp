// `tarven-pack build`: checks every option and input first, then writes the
// executable from the launcher image it carries, the payload packed straight
// into it, under a temporary name that becomes OUT.exe only when complete.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include "commands/args.h"
#include "commands/commands.h"
#include "image/dependencies.h"
#include "image/embedded.h"
#include "image/image_writer.h"
#include "image/resources.h"
#include "pack/byte_sink.h"
#include "image/entry_check.h"
#include "image/launcher_image.h"
#include "image/pe_image.h"
#include "host/errors.h"
#include "host/file_io.h"
#include "pack/inputs.h"
#include "host/interrupt.h"
#include "pack/names.h"
#include "pack/pack_payload.h"
#include "pack/payload_format.h"
#include "commands/progress.h"
#include "commands/target_template.h"
#include "host/temp_dir.h"
#include "host/utf.h"
#include "commands/version_text.h"

namespace fs = std::filesystem;

namespace tarven {
namespace {

std::string help_text() {
  return
    "usage: tarven-pack build -o OUT.exe ENTRY.dll [FILE|DIR|SRC=DEST]... [options]\n"
    "\n"
    "Packs ENTRY.dll (a 64-bit DLL exporting run_code, unpacked under its base name)\n"
    "and the given files (under their base names) and folders (under their own name,\n"
    "like cp -r) into a Windows executable that unpacks and runs them. SRC=DEST puts\n"
    "the file or folder SRC at DEST inside the folder (licenses/zlib.txt=doc/zlib.txt).\n"
    "\n"
    "options:\n"
    "  -o OUT.exe              the executable to write (replaced atomically)\n"
    "  --level N               zstd level, 1..22 (default " + std::to_string(kDefaultLevel) + ")\n"
    "  --threads N             compression threads, 1..256 (default: all cores); the output is\n"
    "                          the same for any number\n"
    "  --company TEXT          company name ({COMPANY}, version resource)\n"
    "  --product TEXT          product name ({PRODUCT}; default: OUT's name without .exe)\n"
    "  --version A.B.C.D       version, each number 0..65535 (default 0.0.0.0)\n"
    "  --description TEXT      file description (version resource; default: the product)\n"
    "  --copyright TEXT        legal copyright (version resource; default: none)\n"
    "  --execution-level L     asInvoker, highestAvailable or requireAdministrator: the\n"
    "                          manifest's requested execution level (default asInvoker)\n"
    "  --icon FILE.ico         icon (default: tarven-pack's)\n"
    "  --target-template TEXT  folder to unpack to (default {TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM})\n"
    "  --cache                 unpack once, into a folder named by the payload's id that later\n"
    "                          starts reuse (default folder {CACHE_DIR}\\[{COMPANY}\\]{PRODUCT}\\{PAYLOAD_ID})\n"
    "  --console               a console program: a shell waits for it, its output and Ctrl+C\n"
    "                          reach the user's console (default: a GUI program, no console)\n"
    "  --strict                refuse imports that are neither system DLLs nor packed (default: warn)\n"
    "  --progress-window       show a small progress window when unpacking takes more than\n"
    "                          half a second (default: no window)\n";
}

const std::vector<OptionDef> kOptions = {
    {"-o", true},        {"--level", true},   {"--raw-payload", true},     {"--company", true},
    {"--product", true}, {"--version", true}, {"--icon", true},           {"--target-template", true},
    {"--strict", false}, {"--console", false}, {"--threads", true}, {"--cache", false},
    {"--progress-window", false}, {"--description", true}, {"--copyright", true}, {"--execution-level", true}};

// The PE format counts image sizes in 32 bits and Windows loads at most
// about 2 GiB: the stored payload gets all but 64 MiB of that, the resources
// at most 32 MiB of the rest (the launcher, texts and file table need little).
constexpr uint64_t kMaxStoredPayload = (uint64_t{2} << 30) - (uint64_t{64} << 20);
constexpr uint64_t kMaxResourceBytes = uint64_t{32} << 20;
// Past about this many files, unpacking at every start costs more than it
// should (a virus scanner looks at each new file too).
constexpr size_t kManyFiles = 1000;

std::string payload_too_large(const fs::path& out) {
  return display_path(out) + ": the payload would be more than " + std::to_string(kMaxStoredPayload) +
         " bytes, more than a Windows executable can hold";
}

// Passes the stored payload on, and stops packing the moment it grows past
// what an executable can hold, rather than after compressing all of it.
class PayloadLimit : public ByteSink {
 public:
  PayloadLimit(ByteSink& next, const fs::path& out) : next_(next), out_(out) {}
  void write(const void* data, size_t n) override {
    stored_ += n;
    if (stored_ > kMaxStoredPayload) throw user_error(payload_too_large(out_));
    next_.write(data, n);
  }

 private:
  ByteSink& next_;
  const fs::path& out_;
  uint64_t stored_ = 0;
};

// A decimal number from `low` to `high` given to `option`, or a refusal naming both.
int parse_number(const std::string& option, const std::string& text, int low, int high) {
  const bool digits = !text.empty() && text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos;
  const int value = digits ? std::atoi(text.c_str()) : 0;
  if (!digits || value < low || value > high)
    throw user_error(option + " '" + text + "': must be a number " + std::to_string(low) + ".." + std::to_string(high));
  return value;
}

int parse_level(const std::string& text) { return parse_number("--level", text, kMinLevel, kMaxLevel); }

std::u16string option_text(const ParsedArgs& args, const std::string& name, const std::string& fallback) {
  const std::string text = args.value(name, fallback);
  auto converted = utf8_to_utf16(text);
  if (!converted) throw user_error(name + ": the text is not valid UTF-8");
  return *converted;
}

// Why Windows could not start a program of this file name; empty when it can.
// Device names open the device in every folder, and a final dot or space is
// dropped by the system, so the program's own name would not find it.
std::string unstartable_name(const std::u16string& name) {
  if (!name.empty() && (name.back() == u'.' || name.back() == u' '))
    return std::string("it ends in a ") + (name.back() == u'.' ? "dot" : "space");
  if (is_device_name(name)) return "it is a device name";
  for (char16_t u : name)
    if (is_refused_in_names(u) || u == u'\\')
      return "it holds a character Windows refuses in names";
  return {};
}

// Whether the template refers to {PAYLOAD_ID} (names are not case-sensitive).
bool uses_payload_id(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return text.find("{PAYLOAD_ID}") != std::string::npos;
}

// The cached mode's file table: the entry first, the rest sorted by UTF-16
// code units, which lets the launcher look names up by halves.
std::vector<std::pair<std::u16string, uint64_t>> file_table(const std::vector<PackEntry>& entries) {
  std::vector<std::pair<std::u16string, uint64_t>> files;
  for (const PackEntry& e : entries) files.emplace_back(e.name, e.size);
  if (files.size() > 1) std::sort(files.begin() + 1, files.end());
  return files;
}

// The version resource and manifest from the options that fill them.
// Everything that could make them unwritable (text that is not UTF-8, texts
// past 64 KiB, an unknown execution level) is refused here, by build and
// check alike.
ResourceSet resources_from(const ParsedArgs& args, const std::u16string& company, const std::u16string& product,
                           const std::string& version_text, const std::u16string& output_name,
                           const std::u16string& stem) {
  ResourceSet resources;
  resources.manifest = manifest_with_level(embedded_manifest(), args.value("--execution-level", "asInvoker"));
  resources.version.numbers = parse_version(version_text);
  resources.version.company = company;
  resources.version.product = product;
  resources.version.version = *utf8_to_utf16(version_text);
  resources.version.description = args.has("--description") ? option_text(args, "--description", "") : product;
  resources.version.copyright = option_text(args, "--copyright", "");
  resources.version.original_filename = output_name;
  resources.version.internal_name = stem;
  make_resource_section(resources, 0);
  return resources;
}

// A FILE or DIR argument: SRC, or SRC=DEST placing it at DEST inside the
// folder ('/' or '\\' between components). An argument that names an
// existing file or folder as a whole is that input, so a name holding '='
// packs as it always did; otherwise DEST starts after the last '=' (a
// source path may hold one, as a build folder's may).
std::pair<fs::path, std::u16string> input_argument(const std::string& text) {
  const size_t equals = text.rfind('=');
  std::error_code ec;
  if (equals == std::string::npos || fs::exists(fs::symlink_status(utf8_path(text), ec))) return {utf8_path(text), u""};
  const std::string source = text.substr(0, equals);
  const auto place = utf8_to_utf16(text.substr(equals + 1));
  if (source.empty() || !place || place->empty())
    throw user_error("'" + text + "': SRC=DEST needs a file or folder before '=' and its place in the folder after it");
  std::u16string name = *place;
  for (char16_t& u : name)
    if (u == u'/') u = u'\\';
  return {utf8_path(source), name};
}

std::vector<unsigned char> read_whole_file(const fs::path& path) {
  InputFile file(path);
  std::vector<unsigned char> bytes(static_cast<size_t>(file.size()));
  file.read_at(0, bytes.data(), bytes.size());
  return bytes;
}

// The executable under its temporary name beside OUT.exe: removed unless it
// is put in place, so an interrupted or failed build leaves nothing behind.
class PendingOutput {
 public:
  explicit PendingOutput(const fs::path& out)
      : out_(out), temp_(unused_name(out.has_parent_path() ? out.parent_path() : fs::path("."),
                                     "." + display_path(out.filename()) + ".tmp-")) {}
  ~PendingOutput() {
    std::error_code ignored;
    if (!placed_) fs::remove(temp_, ignored);
  }
  const fs::path& temp() const { return temp_; }
  void place() {
    std::error_code ec;
    fs::permissions(temp_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec, ec);
    fs::rename(temp_, out_, ec);
    if (ec) throw failure(display_path(out_) + ": cannot replace: " + ec.message());
    placed_ = true;
  }

 private:
  fs::path out_, temp_;
  bool placed_ = false;
};

}  // namespace

int cmd_check(const std::vector<std::string>& argv) {
  const std::vector<OptionDef> options = {{"--level", true}, {"--version", true}, {"--target-template", true},
                                          {"--company", true}, {"--product", true}, {"--cache", false},
                                          {"--description", true}, {"--copyright", true}, {"--execution-level", true}};
  const ParsedArgs args = parse_args(argv, options, "check");
  if (args.has("--help")) {
    std::cout << "usage: tarven-pack check [--level N] [--version A.B.C.D] [--target-template TEXT]\n"
                 "                         [--company TEXT] [--product TEXT] [--cache] [--description TEXT]\n"
                 "                         [--copyright TEXT] [--execution-level LEVEL]\n"
                 "\n"
                 "Checks build options as build would, without building: one line and exit\n"
                 "code 2 for the first one build would refuse. Build systems call it when\n"
                 "they are configured (tarven_add_onefile does).\n";
    return kExitOk;
  }
  if (!args.positionals.empty()) throw user_error("check: takes options only (see tarven-pack check --help)");
  if (args.has("--level")) parse_level(args.value("--level"));
  if (args.has("--version")) parse_version(args.value("--version"));
  if (args.has("--target-template")) {
    const std::string text = args.value("--target-template");
    for (const std::string& warning : check_target_template(text, args.has("--cache")))
      std::cerr << "tarven-pack: " << warning << "\n";
    check_template_texts(text, option_text(args, "--company", ""), option_text(args, "--product", ""));
  }
  // The version resource's texts together, as build will write them.
  const std::u16string product = option_text(args, "--product", "");
  resources_from(args, option_text(args, "--company", ""), product, args.value("--version", "0.0.0.0"),
                 product + u".exe", product);
  return kExitOk;
}

int cmd_build(const std::vector<std::string>& argv) {
  const auto started = std::chrono::steady_clock::now();
  const ParsedArgs args = parse_args(argv, kOptions, "build");
  if (args.has("--help")) {
    std::cout << help_text();
    return kExitOk;
  }
  // Everything is checked before the slow part, so mistakes show at once.
  if (!args.has("-o")) throw user_error("build: -o OUT.exe is required (see tarven-pack build --help)");
  fs::path out = utf8_path(args.value("-o"));
  // Like cp, -o naming a folder that exists writes into it: ENTRY's name
  // with .exe (app.dll gives FOLDER/app.exe).
  std::error_code folder_ec;
  if (fs::is_directory(out, folder_ec)) {
    if (args.has("--raw-payload") || args.positionals.empty())
      throw user_error(display_path(out) + ": is a folder; give -o FOLDER/NAME.exe");
    out = out / utf8_path(args.positionals[0]).filename().stem();
    out += ".exe";
  }
  if (const auto name = utf8_to_utf16(display_path(out.filename())); name && !out.filename().empty()) {
    const std::string why = unstartable_name(*name);
    if (!why.empty())
      throw user_error(display_path(out) + ": Windows cannot start a program of this name: " + why);
  }
  // Windows runs only a name that ends in .exe: one without an ending gets
  // it; any other ending is a mistake (a.dll would be a program named .dll).
  bool exe_added = false;
  if (!out.filename().empty() && out.filename() != "." && out.filename() != "..") {
    std::string ending = display_path(out.extension());
    for (char& c : ending) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (ending.empty()) {
      out += ".exe";
      exe_added = true;
    } else if (ending != ".exe") {
      throw user_error(display_path(out) + ": the executable's name must end in .exe");
    }
  }
  const bool raw = args.has("--raw-payload");
  if (raw && !args.positionals.empty())
    throw user_error("build: --raw-payload replaces ENTRY.dll and the inputs; give one or the other");
  if (!raw && args.positionals.empty())
    throw user_error("build: ENTRY.dll is required (see tarven-pack build --help)");
  if (out.filename().empty() || out.filename() == "." || out.filename() == "..")
    throw user_error(display_path(out) + ": is not a file name: give -o OUT.exe, or an existing folder to "
                     "write ENTRY's name with .exe into");
  std::error_code ec;
  const fs::path out_dir = out.has_parent_path() ? out.parent_path() : fs::path(".");
  if (!fs::is_directory(out_dir, ec)) throw user_error(display_path(out) + ": its folder does not exist");
  if (fs::is_directory(out, ec)) throw user_error(display_path(out) + ": is a folder");

  const int level = parse_level(args.value("--level", std::to_string(kDefaultLevel)));
  const unsigned cores = std::thread::hardware_concurrency();
  const int threads = args.has("--threads") ? parse_number("--threads", args.value("--threads"), 1, 256)
                                            : static_cast<int>(cores < 1 ? 1 : cores > 256 ? 256 : cores);
  const std::string version_text = args.value("--version", "0.0.0.0");
  parse_version(version_text);
  const bool cached = args.has("--cache");
  const auto output_name = utf8_to_utf16(display_path(out.filename()));
  if (!output_name) throw user_error(display_path(out) + ": its name is not valid UTF-8");
  const std::string stem = display_path(out.stem());
  const std::u16string company = option_text(args, "--company", "");
  const std::u16string product = option_text(args, "--product", stem);
  ResourceSet resources = resources_from(args, company, product, version_text, *output_name, *utf8_to_utf16(stem));
  const std::string template_text = args.value("--target-template", default_target_template(cached, company));
  for (const std::string& warning : check_target_template(template_text, cached))
    std::cerr << "tarven-pack: " << warning << "\n";
  check_template_texts(template_text, company, product);
  if (cached && raw) throw user_error("build: --cache needs the files, not --raw-payload");

  const std::vector<unsigned char> icon_bytes =
      args.has("--icon") ? read_whole_file(utf8_path(args.value("--icon"))) : embedded_icon();
  const Icon icon = parse_icon(icon_bytes, args.has("--icon") ? display_path(utf8_path(args.value("--icon"))) : "the default icon");

  std::vector<PackEntry> entries;
  if (!raw) {
    const fs::path entry = utf8_path(args.positionals[0]);
    std::vector<fs::path> inputs;
    std::vector<std::u16string> places;
    for (size_t i = 1; i < args.positionals.size(); ++i) {
      auto [source, place] = input_argument(args.positionals[i]);
      inputs.push_back(std::move(source));
      places.push_back(std::move(place));
    }
    CollectNotes notes;
    entries = collect_inputs(entry, inputs, out, &notes, places);
    for (const std::string& warning : notes.warnings) std::cerr << "tarven-pack: " << warning << "\n";
    check_entry_dll(entry);
    const std::vector<std::string> unmet = unmet_dependencies(entries);
    if (args.has("--strict") && !unmet.empty()) {
      // Every missing DLL at once, in one line: fixing one at a time would take a build each.
      std::string all;
      for (const std::string& line : unmet) all += (all.empty() ? "" : "; ") + line;
      throw user_error(all);
    }
    for (const std::string& line : unmet) std::cerr << "tarven-pack: warning: " << line << "\n";
    // Each start of such a program writes every file again.
    if (!cached && entries.size() > kManyFiles)
      std::cerr << "tarven-pack: note: " << entries.size() << " files: every start unpacks them all; "
                   "--cache unpacks them once and later starts reuse them\n";
  }
  uint64_t data_bytes = 0;
  for (const PackEntry& e : entries) data_bytes += e.size;
  std::unique_ptr<InputFile> raw_file;
  if (raw) {
    raw_file = std::make_unique<InputFile>(utf8_path(args.value("--raw-payload")));
    data_bytes = raw_file->size();
    if (data_bytes > kMaxStoredPayload) throw user_error(payload_too_large(out));
  }

  // The resources depend on nothing the packing makes but their place:
  // made once here, a version text past 64 KiB or an icon too large is
  // refused before the slow part.
  resources.icon = icon;
  if (const uint64_t size = make_resource_section(resources, 0).size(); size > kMaxResourceBytes)
    throw user_error(display_path(out) + ": the icon and version information would take " + std::to_string(size) +
                     " bytes of resources, more than the " + std::to_string(kMaxResourceBytes) + " an executable may hold");

  catch_interrupts();
  PendingOutput pending(out);
  OutputFile file(pending.temp());
  ExecutableWriter writer(file, embedded_launcher(args.has("--console")), choose_file_alignment(data_bytes),
                          cached || uses_payload_id(template_text));
  PackTotals totals;
  if (raw) {
    std::vector<unsigned char> buffer(1 << 20);
    for (uint64_t at = 0; at < raw_file->size(); at += buffer.size()) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), raw_file->size() - at));
      raw_file->read_at(at, buffer.data(), n);
      writer.write(buffer.data(), n);
    }
    totals.stored_bytes = raw_file->size();
  } else {
    PayloadLimit limited(writer, out);
    Progress progress(data_bytes, entries.size(), stderr_is_terminal());
    totals = pack_payload(entries, limited, level, &progress, threads);
  }

  LauncherTexts texts;
  texts.target_template = *utf8_to_utf16(template_text);
  texts.company = company;
  texts.product = product;
  texts.version = *utf8_to_utf16(version_text);
  texts.digests = totals.digests;
  texts.has_digests = !raw;
  texts.cached = cached;
  texts.progress_window = args.has("--progress-window");
  texts.unpacked_size = raw ? 0 : totals.data_bytes;
  if (cached) texts.files = file_table(entries);
  writer.finish(texts, [&](uint32_t rva) { return make_resource_section(resources, rva); });
  file.close();
  stop_if_interrupted();
  pending.place();

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cerr << "tarven-pack: wrote " << display_path(out) << (exe_added ? " (.exe added to -o)" : "") << ": "
            << (raw ? "raw payload, " + std::to_string(totals.stored_bytes) + " bytes"
                    : pack_summary(totals.files, totals.data_bytes, totals.stored_bytes, seconds))
            << "; a " << subsystem_text(args.has("--console") ? kSubsystemConsole : kSubsystemGui) << " program, "
            << (cached ? "cached (unpacked once)" : "unpacked at every start") << "\n";
  return kExitOk;
}

}  // namespace tarven
