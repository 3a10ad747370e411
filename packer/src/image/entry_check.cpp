// The entry DLL check; see entry_check.h.
#include "image/entry_check.h"

#include <algorithm>
#include <cstdio>

#include "host/errors.h"
#include "host/file_io.h"
#include "image/pe_image.h"

namespace tarven {

namespace {

// What a user calls the machines a DLL may be built for.
std::string machine_name(uint16_t machine) {
  switch (machine) {
    case 0x14C: return "a 32-bit (x86) DLL";
    case 0xAA64: return "an ARM64 DLL";
    case 0x1C4: return "a 32-bit ARM DLL";
  }
  char hex[8];
  std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(machine));
  return std::string("built for machine 0x") + hex;
}

}  // namespace

void check_entry_dll(const std::filesystem::path& path) {
  InputFile file(path);
  PeImage image(file, kExitUsage);
  auto refuse = [&](const std::string& what) { return user_error(file.name() + ": " + what); };
  if (image.machine() != kMachineAmd64)
    throw refuse("is " + machine_name(image.machine()) + "; the launcher loads 64-bit (x86-64) DLLs only");
  if (image.magic() != kMagicPe32Plus) throw refuse("is not a PE32+ image");
  if (!(image.characteristics() & kImageFileDll)) throw refuse("is not a DLL");
  const std::vector<std::string> names = image.export_names();
  if (std::find(names.begin(), names.end(), "run_code") != names.end()) return;
  // A C++ compiler decorates the name unless it is declared extern "C":
  // _Z8run_code... (GCC, Clang) or ?run_code@@... (MSVC).
  for (const std::string& name : names)
    if (name.rfind("_Z8run_code", 0) == 0 || name.rfind("?run_code@@", 0) == 0)
      throw refuse("exports run_code only under its C++ name '" + name +
                   "'; declare it extern \"C\" so that it is exported as run_code");
  throw refuse("does not export run_code by name");
}

}  // namespace tarven
