// Checks, at pack time, that the entry file is what the launcher can load and
// call: a PE32+ DLL for x86-64 that exports `run_code` by name.
#pragma once

#include <filesystem>

namespace tarven {

// Throws a user error (exit 2) naming the file and what is wrong with it.
void check_entry_dll(const std::filesystem::path& path);

}  // namespace tarven
