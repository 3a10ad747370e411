// Generates the assembly file that puts the payload and the launcher's texts
// into the read-only `.tarven` section under the six symbols the launcher
// declares (tarven_payload_size, tarven_payload_start, tarven_target_template,
// tarven_company, tarven_product, tarven_version).
#pragma once

#include <cstdint>
#include <string>

#include "image/launcher_texts.h"

namespace tarven {

constexpr const char* kTarvenSection = ".tarven";

// `payload_file` is included by `.incbin` relative to the assembler's working
// folder, so no path of the build machine ends up in the executable.
std::string make_asm_source(uint64_t payload_size, const std::string& payload_file,
                            const LauncherTexts& texts);

}  // namespace tarven
