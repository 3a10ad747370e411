// The embedded files; see embedded.h.
#include "image/embedded.h"

extern "C" {
extern const unsigned char tarven_embedded_gui[], tarven_embedded_gui_end[];
extern const unsigned char tarven_embedded_console[], tarven_embedded_console_end[];
extern const unsigned char tarven_embedded_manifest[], tarven_embedded_manifest_end[];
extern const unsigned char tarven_embedded_icon[], tarven_embedded_icon_end[];
}

namespace tarven {

std::vector<unsigned char> embedded_launcher(bool console) {
  return console ? std::vector<unsigned char>(tarven_embedded_console, tarven_embedded_console_end)
                 : std::vector<unsigned char>(tarven_embedded_gui, tarven_embedded_gui_end);
}

std::vector<unsigned char> embedded_manifest() {
  return std::vector<unsigned char>(tarven_embedded_manifest, tarven_embedded_manifest_end);
}

std::vector<unsigned char> embedded_icon() {
  return std::vector<unsigned char>(tarven_embedded_icon, tarven_embedded_icon_end);
}

}  // namespace tarven
