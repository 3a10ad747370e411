// Command line parsing shared by the subcommands: options with or without a
// value ("--level 19" or "--level=19"), "--" to end options, positionals.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tarven {

struct OptionDef {
  const char* name;  // with its dashes: "--level", "-o"
  bool takes_value;
};

struct ParsedArgs {
  std::map<std::string, std::string> values;  // the last one wins
  std::set<std::string> flags;
  std::vector<std::string> positionals;

  bool has(const std::string& name) const { return values.count(name) || flags.count(name); }
  std::string value(const std::string& name, const std::string& fallback = "") const {
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
  }
};

// `command` names the subcommand in messages. "--help" and "-h" are flags of
// every command. Throws a user error (exit 2) for unknown or incomplete options.
ParsedArgs parse_args(const std::vector<std::string>& args, const std::vector<OptionDef>& known,
                      const std::string& command);

}  // namespace tarven
