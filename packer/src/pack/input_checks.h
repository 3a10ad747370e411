// The rules both input walks (inputs.cpp on Linux, inputs_windows.cpp on
// Windows) apply in the same words: an input named twice, a name component
// that is not a payload component, and the payload names' rules and clashes.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "pack/inputs.h"

namespace tarven {

// Throws a user error when the entry DLL or an input names the same file or
// folder as an earlier one.
void refuse_inputs_named_twice(const std::filesystem::path& entry_dll,
                               const std::vector<std::filesystem::path>& inputs);

// The component `converted` (the name of `path` as the system gave it,
// decoded; nullopt when it is not valid `encoding`); throws a user error for
// an undecodable name or one holding a backslash.
std::u16string payload_component(const std::filesystem::path::string_type& path,
                                 const std::optional<std::u16string>& converted,
                                 const char* encoding);

// Throws a user error for the first entry, in payload order, whose name breaks
// a name rule or clashes with an earlier one's. `may_break_rules` false: no
// name was seen to break one, so only clashes are looked for.
void refuse_bad_payload_names(const std::vector<PackEntry>& entries, bool may_break_rules);

}  // namespace tarven
