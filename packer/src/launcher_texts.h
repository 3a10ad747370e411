// The four texts stored after the payload in the `.tarven` section, read by
// the launcher as NUL-terminated UTF-16 (and by list/verify from the PE).
#pragma once

#include <string>

namespace tarven {

struct LauncherTexts {
  std::u16string target_template;
  std::u16string company;
  std::u16string product;
  std::u16string version;
};

}  // namespace tarven
