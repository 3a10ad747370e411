// Turns the command line's entry DLL, FILE and DIR arguments into the list of
// payload entries: names as the launcher will create them, the file each one
// comes from, in payload order (entry first, then by UTF-16 name), with every
// name rule and clash checked before any packing starts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tarven {

struct PackEntry {
  std::u16string name;
  std::filesystem::path source;
  uint64_t size = 0;
};

// Throws a user error (exit 2) naming the offending input file.
std::vector<PackEntry> collect_inputs(const std::filesystem::path& entry_dll,
                                      const std::vector<std::filesystem::path>& inputs);

}  // namespace tarven
