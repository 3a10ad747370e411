// What verify checks of an executable besides its payload: the header's
// checksum, the launcher's sections against the launcher image tarven-pack
// carries, and the resources against the digest build stored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/file_io.h"
#include "image/pe_image.h"

namespace tarven {

// Whether the optional header's checksum is that of the file's bytes. A
// signed executable passes with the checksum its signing tool computed over
// the signed file, or with the packer's when the tool only appended its
// certificate table. A checksum of 0 is none, and passes too: other linkers
// leave it so.
bool checksum_matches(InputFile& exe, const PeImage& image);

// The name of the first of the launcher's sections whose bytes in `exe`
// differ from those of `launcher` (the image it was written from: the slots
// that build fills aside); empty when none does.
std::string launcher_difference(InputFile& exe, const PeImage& image, const std::vector<unsigned char>& launcher);

// Whether the resource directory's bytes have the digest build stored.
bool resources_match(InputFile& exe, const PeImage& image, uint64_t digest);

}  // namespace tarven
