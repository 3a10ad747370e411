// Option parsing; see args.h.
#include "commands/args.h"

#include "host/errors.h"

namespace tarven {

ParsedArgs parse_args(const std::vector<std::string>& args, const std::vector<OptionDef>& known,
                      const std::string& command) {
  ParsedArgs parsed;
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      parsed.positionals.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      parsed.flags.insert("--help");
      continue;
    }
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const OptionDef* def = nullptr;
    for (const OptionDef& s : known)
      if (name == s.name) def = &s;
    if (!def)
      throw user_error(command + ": unknown option " + name + " (see tarven-pack " + command +
                       " --help)");
    // The same option twice would leave one of them silently unused.
    if (parsed.flags.count(name) || parsed.values.count(name))
      throw user_error(command + ": " + name + " is given twice");
    if (!def->takes_value) {
      if (eq != std::string::npos) throw user_error(command + ": " + name + " takes no value");
      parsed.flags.insert(name);
    } else if (eq != std::string::npos) {
      parsed.values[name] = arg.substr(eq + 1);
    } else {
      if (i + 1 >= args.size()) throw user_error(command + ": " + name + " needs a value");
      parsed.values[name] = args[++i];
    }
  }
  return parsed;
}

}  // namespace tarven
