// The files tarven-pack carries inside itself, made by the project's build
// (image/embedded.S.in): the launcher image linked as a GUI and as a console
// program, and the default manifest and icon.
#pragma once

#include <cstddef>
#include <vector>

namespace tarven {

// The launcher image for a console program when `console`, else for a GUI program.
std::vector<unsigned char> embedded_launcher(bool console);
// The application manifest every executable carries.
std::vector<unsigned char> embedded_manifest();
// The icon used when --icon is not given.
std::vector<unsigned char> embedded_icon();

}  // namespace tarven
