// tarven-pack: builds onefile Windows launchers and inspects them. Dispatches
// to the subcommands and turns every failure into one line and an exit code.
#include <iostream>
#include <string>
#include <vector>

#include "commands/commands.h"
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

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
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
