// Running the cross toolchain: one program, its output captured into a log
// file, in a given working folder (so relative file names are what the tools
// see and record).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tarven {

// Exit code of the program, or 127 when it could not be started (the log says why).
int run_process(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
                const std::filesystem::path& log_file);

// `program` itself when it holds a slash, else the first match on PATH;
// nullopt when no such executable file exists.
std::optional<std::filesystem::path> find_program(const std::string& program);

// The running executable, for finding the kit beside an installed packer.
std::filesystem::path own_executable(const char* argv0);

bool stderr_is_terminal();

}  // namespace tarven
