// The entry DLL check; see entry_check.h.
#include "entry_check.h"

#include <algorithm>
#include <cstdio>

#include "errors.h"
#include "file_io.h"
#include "pe_image.h"

namespace tarven {

void check_entry_dll(const std::filesystem::path& path) {
  InputFile file(path);
  PeImage image(file, kExitUsage);
  auto refuse = [&](const std::string& what) { return user_error(file.name() + ": " + what); };
  if (image.machine() != kMachineAmd64) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(image.machine()));
    throw refuse(std::string("is built for machine 0x") + hex + ", not x86-64 (0x8664)");
  }
  if (image.magic() != kMagicPe32Plus) throw refuse("is not a PE32+ image");
  if (!(image.characteristics() & kImageFileDll)) throw refuse("is not a DLL");
  const std::vector<std::string> names = image.export_names();
  if (std::find(names.begin(), names.end(), "run_code") == names.end())
    throw refuse("does not export run_code by name");
}

}  // namespace tarven
