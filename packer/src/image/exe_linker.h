// Turns a stored payload into the executable with the cross toolchain, in a
// scratch folder: assemble the `.tarven` section, compile the resources, link
// against the kit. Every tool runs inside the scratch folder on relative names,
// so two builds of the same inputs are byte-identical wherever they run.
#pragma once

#include <filesystem>
#include <string>

#include "image/launcher_texts.h"
#include "image/rc_source.h"
#include "image/toolchain.h"

namespace tarven {

struct LinkJob {
  std::filesystem::path work_dir;     // holds payload.bin already
  uint64_t payload_size = 0;
  LauncherTexts texts;
  VersionResource version;
  std::filesystem::path icon;          // copied into the work folder
  std::string output_name;             // file name of the executable, no folder
  bool console = false;                // a console program rather than a GUI one
};

// Returns the linked executable inside the work folder. A failing tool throws
// a Failure quoting the tool's first error line.
std::filesystem::path link_executable(const LinkJob& job, const Toolchain& tools, const Kit& kit);

constexpr const char* kPayloadFileName = "payload.bin";
// The last tool's output, in the work folder.
constexpr const char* kToolchainLogName = "toolchain.log";

}  // namespace tarven
