// tarven-pack: builds onefile Windows launchers and inspects them. Dispatches
// to the subcommands and turns every failure into one line and an exit code.
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <cwchar>
#include <utility>

#include "host/utf.h"
#endif

#include "commands/commands.h"
#include "host/console.h"
#include "host/errors.h"

namespace {

const char kHelp[] =
    "usage: tarven-pack COMMAND [ARGS]...\n"
    "\n"
    "commands:\n"
    "  build -o OUT.exe ENTRY.dll [FILE|DIR]...  pack an application into OUT.exe\n"
    "  list APP.exe                             show the payload's entries and texts\n"
    "  verify APP.exe                           check the whole payload\n"
    "  extract APP.exe DIR                      write the payload's files under DIR\n"
    "  check [OPTIONS]                          check build options without building\n"
    "\n"
    "Each command explains itself with --help; tarven-pack --version names this packer.\n";

// `args` (without the program's name) are UTF-8 on every system.
int run(std::vector<std::string> args) {
  const tarven::UnicodeConsole console;
  try {
    if (args.empty()) {
      std::cerr << kHelp;
      return tarven::kExitUsage;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "--help" || command == "-h" || command == "help") {
      std::cout << kHelp;
      return tarven::kExitOk;
    }
    if (command == "--version") {
      std::cout << "tarven-pack " << TARVEN_PACK_VERSION << "\n";
      return tarven::kExitOk;
    }
    if (command == "build") return tarven::cmd_build(args);
    if (command == "check") return tarven::cmd_check(args);
    if (command == "list") return tarven::cmd_list(args);
    if (command == "verify") return tarven::cmd_verify(args);
    if (command == "extract") return tarven::cmd_extract(args);
    throw tarven::user_error("unknown command '" + command + "' (see tarven-pack --help)");
  } catch (const tarven::Failure& f) {
    std::cout.flush();
    std::cerr << "tarven-pack: " << f.what() << "\n";
    return f.exit_code();
  } catch (const std::exception& e) {
    std::cerr << "tarven-pack: " << e.what() << "\n";
    return tarven::kExitFailure;
  }
}

}  // namespace

#ifdef _WIN32

// Windows hands a program its command line as UTF-16; the narrow one is in
// the ANSI code page and loses every other name.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i)
    args.push_back(tarven::utf16_to_utf8(std::u16string(argv[i], argv[i] + std::wcslen(argv[i]))));
  if (!args.empty()) args.erase(args.begin());
  return run(std::move(args));
}

#else

int main(int argc, char** argv) { return run({argv + 1, argv + argc}); }

#endif
