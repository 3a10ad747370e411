// The shared input rules; see input_checks.h.
#include "pack/input_checks.h"

#include "host/errors.h"
#include "host/file_io.h"
#include "host/utf.h"
#include "pack/names.h"

namespace fs = std::filesystem;

namespace tarven {

void refuse_inputs_named_twice(const fs::path& entry_dll, const std::vector<fs::path>& inputs) {
  std::vector<fs::path> named{entry_dll};
  named.insert(named.end(), inputs.begin(), inputs.end());
  for (size_t i = 1; i < named.size(); ++i)
    for (size_t k = 0; k < i; ++k) {
      std::error_code ec;
      if (fs::equivalent(named[i], named[k], ec))
        throw user_error(display_path(named[i]) + ": listed twice" +
                         (named[i] == named[k] ? std::string() : " (also as " + display_path(named[k]) + ")"));
    }
}

std::u16string payload_component(const fs::path::string_type& path, const std::optional<std::u16string>& converted,
                                 const char* encoding) {
  if (!converted) throw user_error(display_path(fs::path(path)) + ": its name is not valid " + encoding);
  if (converted->find(u'\\') != std::u16string::npos)
    throw user_error(display_path(fs::path(path)) +
                     ": its name holds a backslash, which Windows takes as a folder separator");
  return *converted;
}

void refuse_bad_payload_names(const std::vector<PackEntry>& entries, bool may_break_rules) {
  NameClashes clashes([&](size_t i) { return display_path(fs::path(entries[i].source)); });
  // The message's head is made only for an entry that is refused.
  auto refuse = [](const PackEntry& e, const std::string& why) {
    return user_error(display_path(fs::path(e.source)) + ": its payload name '" + utf16_to_utf8(e.name) + "' " + why);
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    const PackEntry& e = entries[i];
    if (may_break_rules) {
      const std::string problem = name_problem(e.name);
      if (!problem.empty()) throw refuse(e, problem);
    }
    const std::string clash = clashes.add(e.name, i);
    if (!clash.empty()) throw refuse(e, clash);
  }
}

}  // namespace tarven
