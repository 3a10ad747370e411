// Finds what `build` put into an executable: the `.tarven` section's payload
// size, the stored payload's place in the file, and the four texts after it.
#pragma once

#include <cstdint>
#include <string>

#include "host/file_io.h"
#include "image/launcher_texts.h"

namespace tarven {

struct LauncherImage {
  uint64_t file_size = 0;
  uint64_t payload_offset = 0;  // in the file
  uint64_t payload_size = 0;
  uint16_t subsystem = 0;  // 2 GUI, 3 console
  bool has_slots = false;  // written from a launcher image, not linked by an older packer
  LauncherTexts texts;
};

// How list and build's summary name what the header and slots say: "GUI" or
// "console", and the mode.
std::string subsystem_text(uint16_t subsystem);
std::string mode_text(bool cached);

// Throws a Failure (exit 1) naming the file when the section is missing or damaged.
LauncherImage read_launcher_image(InputFile& exe);

}  // namespace tarven
