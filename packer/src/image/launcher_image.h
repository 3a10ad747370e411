// Finds what `build` put into an executable: the `.tarven` section's payload
// size, the stored payload's place in the file, and the four texts after it.
#pragma once

#include <cstdint>

#include "host/file_io.h"
#include "image/launcher_texts.h"

namespace tarven {

struct LauncherImage {
  uint64_t file_size = 0;
  uint64_t payload_offset = 0;  // in the file
  uint64_t payload_size = 0;
  LauncherTexts texts;
};

// Throws a Failure (exit 1) naming the file when the section is missing or damaged.
LauncherImage read_launcher_image(InputFile& exe);

}  // namespace tarven
