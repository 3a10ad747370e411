// Reading the `.tarven` section back from an executable; see launcher_image.h.
#include "image/launcher_image.h"

#include <algorithm>
#include <string>
#include <vector>

#include "image/asm_source.h"
#include "pack/entry_digest.h"
#include "host/errors.h"
#include "pack/payload_format.h"
#include "image/pe_image.h"

namespace tarven {
namespace {

// The four texts are short; more than this after the payload means damage.
constexpr uint64_t kMaxTextsBytes = 1 << 20;

}  // namespace

LauncherImage read_launcher_image(InputFile& exe) {
  PeImage image(exe, kExitFailure);
  auto fail = [&](const std::string& what) { return failure(exe.name() + ": " + what); };
  const PeSection* section = image.find_section(kTarvenSection);
  if (!section) throw fail("has no .tarven section, so it was not made by tarven-pack");
  const uint64_t in_file = image.bytes_in_file(*section);
  if (in_file < 8) throw fail("has a .tarven section too small for the payload size");

  LauncherImage out;
  out.file_size = exe.size();
  unsigned char quad[8];
  exe.read_at(section->raw_offset, quad, sizeof quad);
  out.payload_size = get_le64(quad);
  out.payload_offset = uint64_t{section->raw_offset} + 8;
  if (out.payload_size > in_file - 8)
    throw fail("its payload size (" + std::to_string(out.payload_size) +
               " bytes) does not fit in its .tarven section");

  const uint64_t texts_start = (8 + out.payload_size + 1) & ~uint64_t{1};
  const uint64_t texts_len = texts_start < in_file ? in_file - texts_start : 0;
  std::vector<unsigned char> bytes(static_cast<size_t>(texts_len < kMaxTextsBytes ? texts_len : kMaxTextsBytes));
  exe.read_at(section->raw_offset + texts_start, bytes.data(), bytes.size());
  std::u16string* fields[] = {&out.texts.target_template, &out.texts.company, &out.texts.product,
                              &out.texts.version};
  const char* names[] = {"target template", "company", "product", "version"};
  size_t at = 0;
  for (size_t i = 0; i < 4; ++i) {
    while (true) {
      if (at + 2 > bytes.size()) throw fail(std::string("its ") + names[i] + " text has no end");
      const char16_t unit = static_cast<char16_t>(bytes[at] | (bytes[at + 1] << 8));
      at += 2;
      if (unit == 0) break;
      fields[i]->push_back(unit);
    }
  }
  // The digests, when build stored them: the marker at the next 8-byte
  // boundary of the section, the count, then one digest per entry.
  const uint64_t marker_at = ((texts_start + at + 7) & ~uint64_t{7}) - texts_start;
  if (marker_at + 16 <= bytes.size() && std::equal(kDigestMarker, kDigestMarker + 8, bytes.begin() + marker_at)) {
    const uint64_t count = get_le64(bytes.data() + marker_at + 8);
    if (count > (bytes.size() - marker_at - 16) / 8) throw fail("its stored digests run past the section");
    out.texts.has_digests = true;
    for (uint64_t i = 0; i < count; ++i) out.texts.digests.push_back(get_le64(bytes.data() + marker_at + 16 + i * 8));
  }
  return out;
}

}  // namespace tarven
