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
  // The file, as the system names it: a path's text, which for a tree of
  // many files costs a good deal less to make than a path (that splits
  // itself into components).
  std::filesystem::path::string_type source;
  uint64_t size = 0;
};

// What collecting noticed that does not stop the build, one line each.
struct CollectNotes {
  std::vector<std::string> warnings;
};

// Throws a user error (exit 2) naming the offending input file. `output` is
// the executable being written: neither it nor the packer's temporary copy
// of it beside it is ever packed, even from a folder that holds them.
// `places[i]`, when given and not empty, is the payload name input i takes
// instead of its own (a file's whole name, a folder's prefix); the name
// rules and clashes apply to the names as placed.
std::vector<PackEntry> collect_inputs(const std::filesystem::path& entry_dll,
                                      const std::vector<std::filesystem::path>& inputs,
                                      const std::filesystem::path& output = {}, CollectNotes* notes = nullptr,
                                      const std::vector<std::u16string>& places = {});

}  // namespace tarven
