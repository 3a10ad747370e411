// The pack-time dependency check: every DLL the packed DLLs import, loaded at
// start or delay-loaded, must be a system DLL or one of the packed DLLs where
// the launcher's loader looks (beside the DLL that imports it, or at the top
// of the unpacked folder). Otherwise the packed program would end on the
// user's machine with "Error, load DLL." and a system text naming no module.
#pragma once

#include <string>
#include <vector>

#include "pack/inputs.h"

namespace tarven {

// True for a DLL that every supported Windows holds in its system folder
// (names compared without regard to ASCII case). The one list of them.
bool is_system_dll(const std::string& name);

// One line per import that nothing satisfies, naming the importing payload
// entry and the DLL, with advice (static linking for the GNU C++ runtime; the
// Visual C++ runtime DLLs or a static runtime for MSVC builds). Empty when
// all is well. Files that are not PE images are not looked into.
std::vector<std::string> unmet_dependencies(const std::vector<PackEntry>& entries);

}  // namespace tarven
