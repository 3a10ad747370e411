// The subcommands of tarven-pack. Each returns the exit code, or throws a
// Failure carrying its one-line message.
#pragma once

#include <string>
#include <vector>

namespace tarven {

int cmd_build(const std::vector<std::string>& args);
int cmd_check(const std::vector<std::string>& args);
int cmd_list(const std::vector<std::string>& args);
int cmd_verify(const std::vector<std::string>& args);
int cmd_extract(const std::vector<std::string>& args);

}  // namespace tarven
