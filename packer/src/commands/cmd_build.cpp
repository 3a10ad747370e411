// `tarven-pack build`: checks every option and input first, packs the
// payload, links the executable and puts it in place atomically.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

#include "commands/args.h"
#include "commands/commands.h"
#include "image/dependencies.h"
#include "image/entry_check.h"
#include "host/errors.h"
#include "image/exe_linker.h"
#include "host/file_io.h"
#include "pack/inputs.h"
#include "host/interrupt.h"
#include "pack/pack_payload.h"
#include "pack/payload_format.h"
#include "host/process.h"
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
    "usage: tarven-pack build -o OUT.exe ENTRY.dll [FILE|DIR]... [options]\n"
    "\n"
    "Packs ENTRY.dll (a 64-bit DLL exporting run_code, unpacked under its base name)\n"
    "and the given files (under their base names) and folders (under their own name,\n"
    "like cp -r) into a Windows executable that unpacks and runs them.\n"
    "\n"
    "options:\n"
    "  -o OUT.exe              the executable to write (replaced atomically)\n"
    "  --level N               zstd level, 1..22 (default " + std::to_string(kDefaultLevel) + ")\n"
    "  --threads N             compression threads, 1..256 (default: all cores); the output is\n"
    "                          the same for any number\n"
    "  --company TEXT          company name ({COMPANY}, version resource)\n"
    "  --product TEXT          product name ({PRODUCT}; default: OUT's name without .exe)\n"
    "  --version A.B.C.D       version, each number 0..65535 (default 0.0.0.0)\n"
    "  --icon FILE.ico         icon (default: the kit's)\n"
    "  --target-template TEXT  folder to unpack to (default {TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM})\n"
    "  --kit DIR               launcher kit (default: $TARVEN_KIT, else beside tarven-pack)\n"
    "  --toolchain PREFIX      cross tool prefix (default: $TARVEN_TOOLCHAIN, else x86_64-w64-mingw32-)\n"
    "  --console               a console program: a shell waits for it, its output and Ctrl+C\n"
    "                          reach the user's console (default: a GUI program, no console)\n"
    "  --strict                refuse imports that are neither system DLLs nor packed (default: warn)\n"
    "  --keep-temp             keep the scratch folder and say where it is\n";
}

const std::vector<OptionDef> kOptions = {
    {"-o", true},        {"--level", true},   {"--raw-payload", true},     {"--company", true},
    {"--product", true}, {"--version", true}, {"--icon", true},           {"--target-template", true},
    {"--kit", true},     {"--toolchain", true}, {"--keep-temp", false}, {"--strict", false},
    {"--console", false}, {"--threads", true}};

constexpr uint64_t kMaxStoredPayload = (uint64_t{2} << 30) - (uint64_t{64} << 20);

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

void check_icon(const fs::path& icon) {
  InputFile file(icon);
  unsigned char head[6] = {};
  if (file.size() >= 6) file.read_at(0, head, 6);
  if (file.size() < 6 || head[0] != 0 || head[1] != 0 || head[2] != 1 || head[3] != 0 ||
      (head[4] | head[5]) == 0)
    throw user_error(file.name() + ": is not an .ico file");
}

// Puts the finished executable at `out` under a temporary name first, so an
// interrupted build never leaves a half-written OUT.exe.
void install_output(const fs::path& linked, const fs::path& out) {
  const fs::path dir = out.has_parent_path() ? out.parent_path() : fs::path(".");
  const fs::path temp = unused_name(dir, "." + display_path(out.filename()) + ".tmp-");
  std::error_code ec;
  fs::copy_file(linked, temp, ec);
  if (ec) throw failure(display_path(temp) + ": cannot write: " + ec.message());
  fs::permissions(temp, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec, ec);
  fs::rename(temp, out, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    throw failure(display_path(out) + ": cannot replace: " + ec.message());
  }
}

}  // namespace

int cmd_check(const std::vector<std::string>& argv) {
  const std::vector<OptionDef> options = {{"--level", true}, {"--version", true}, {"--target-template", true},
                                          {"--company", true}, {"--product", true}};
  const ParsedArgs args = parse_args(argv, options, "check");
  if (args.has("--help")) {
    std::cout << "usage: tarven-pack check [--level N] [--version A.B.C.D] [--target-template TEXT]\n"
                 "                         [--company TEXT] [--product TEXT]\n"
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
    for (const std::string& warning : check_target_template(text)) std::cerr << "tarven-pack: " << warning << "\n";
    check_template_texts(text, option_text(args, "--company", ""), option_text(args, "--product", ""));
  }
  return kExitOk;
}

int cmd_build(const std::vector<std::string>& argv, const char* argv0) {
  const auto started = std::chrono::steady_clock::now();
  const ParsedArgs args = parse_args(argv, kOptions, "build");
  if (args.has("--help")) {
    std::cout << help_text();
    return kExitOk;
  }
  // Everything is checked before the slow part, so mistakes show at once.
  if (!args.has("-o")) throw user_error("build: -o OUT.exe is required (see tarven-pack build --help)");
  fs::path out = utf8_path(args.value("-o"));
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
    throw user_error(display_path(out) + ": is not a file name");
  std::error_code ec;
  const fs::path out_dir = out.has_parent_path() ? out.parent_path() : fs::path(".");
  if (!fs::is_directory(out_dir, ec)) throw user_error(display_path(out) + ": its folder does not exist");
  if (fs::is_directory(out, ec)) throw user_error(display_path(out) + ": is a folder");

  const int level = parse_level(args.value("--level", std::to_string(kDefaultLevel)));
  const unsigned cores = std::thread::hardware_concurrency();
  const int threads = args.has("--threads") ? parse_number("--threads", args.value("--threads"), 1, 256)
                                            : static_cast<int>(cores < 1 ? 1 : cores > 256 ? 256 : cores);
  const std::string version_text = args.value("--version", "0.0.0.0");
  const auto version_numbers = parse_version(version_text);
  const std::string template_text = args.value("--target-template", kDefaultTargetTemplate);
  for (const std::string& warning : check_target_template(template_text))
    std::cerr << "tarven-pack: " << warning << "\n";
  const auto output_name = utf8_to_utf16(display_path(out.filename()));
  if (!output_name) throw user_error(display_path(out) + ": its name is not valid UTF-8");
  const std::string stem = display_path(out.stem());
  const std::u16string company = option_text(args, "--company", "");
  const std::u16string product = option_text(args, "--product", stem);
  check_template_texts(template_text, company, product);

  const Kit kit = find_kit(args.value("--kit"), argv0);
  const fs::path icon = args.has("--icon") ? utf8_path(args.value("--icon")) : kit.icon;
  check_icon(icon);
  const Toolchain tools = find_toolchain(choose_toolchain_prefix(args.value("--toolchain")));

  std::vector<PackEntry> entries;
  if (!raw) {
    const fs::path entry = utf8_path(args.positionals[0]);
    std::vector<fs::path> inputs;
    for (size_t i = 1; i < args.positionals.size(); ++i) inputs.push_back(utf8_path(args.positionals[i]));
    CollectNotes notes;
    entries = collect_inputs(entry, inputs, out, &notes);
    for (const std::string& warning : notes.warnings) std::cerr << "tarven-pack: " << warning << "\n";
    check_entry_dll(entry);
    for (const std::string& line : unmet_dependencies(entries)) {
      if (args.has("--strict")) throw user_error(line);
      std::cerr << "tarven-pack: warning: " << line << "\n";
    }
  }

  catch_interrupts();
  TempDir temp;
  if (args.has("--keep-temp")) temp.keep();
  const fs::path payload = temp.path() / kPayloadFileName;
  PackTotals totals;
  if (raw) {
    const fs::path raw_file = utf8_path(args.value("--raw-payload"));
    InputFile check(raw_file);  // a clear message if it is missing
    fs::copy_file(raw_file, payload, ec);
    if (ec) throw user_error(display_path(raw_file) + ": cannot copy: " + ec.message());
    totals.stored_bytes = check.size();
  } else {
    totals = pack_payload(entries, payload, level, stderr_is_terminal(), threads);
  }

  // The PE format counts image sizes in 32 bits and Windows loads at most
  // about 2 GiB; the linker would fail with a far less helpful message.
  if (totals.stored_bytes > kMaxStoredPayload)
    throw user_error(display_path(out) + ": the payload would be " + std::to_string(totals.stored_bytes) +
                     " bytes, more than a Windows executable can hold (" +
                     std::to_string(kMaxStoredPayload) + ")");

  LinkJob job;
  job.work_dir = temp.path();
  job.payload_size = totals.stored_bytes;
  job.texts = {*utf8_to_utf16(template_text), company, product, *utf8_to_utf16(version_text), totals.digests, !raw};
  job.version.numbers = version_numbers;
  job.version.company = company;
  job.version.product = product;
  job.version.version = job.texts.version;
  job.version.description = product;
  job.version.original_filename = *output_name;
  job.version.internal_name = *utf8_to_utf16(stem);
  job.icon = icon;
  job.output_name = display_path(out.filename());
  job.console = args.has("--console");
  fs::path linked;
  try {
    linked = link_executable(job, tools, kit);
  } catch (const Failure& f) {
    const std::string log = display_path(temp.path() / kToolchainLogName);
    throw Failure(f.exit_code(), f.what() + std::string(args.has("--keep-temp")
                                                            ? " (full log: " + log + ")"
                                                            : " (--keep-temp keeps the full log)"));
  }
  stop_if_interrupted();
  install_output(linked, out);

  if (args.has("--keep-temp"))
    std::cerr << "tarven-pack: kept the scratch folder " << display_path(temp.path()) << "\n";
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cerr << "tarven-pack: wrote " << display_path(out) << (exe_added ? " (.exe added to -o)" : "") << ": "
            << (raw ? "raw payload, " + std::to_string(totals.stored_bytes) + " bytes"
                    : pack_summary(totals.files, totals.data_bytes, totals.stored_bytes, seconds))
            << "\n";
  return kExitOk;
}

}  // namespace tarven
