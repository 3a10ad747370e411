// The four texts stored after the payload in the `.tarven` section, read by
// the launcher as NUL-terminated UTF-16 (and by list/verify from the PE).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarven {

struct LauncherTexts {
  std::u16string target_template;
  std::u16string company;
  std::u16string product;
  std::u16string version;
  // After the texts, for verify only: the entries' digests (none for a raw payload).
  std::vector<uint64_t> digests;
  bool has_digests = false;
};

}  // namespace tarven
