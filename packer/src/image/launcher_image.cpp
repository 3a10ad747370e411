// Reading back what `build` put into an executable; see launcher_image.h.
#include "image/launcher_image.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "contract/contract.h"
#include "host/errors.h"
#include "image/pe_image.h"
#include "pack/entry_digest.h"
#include "pack/payload_format.h"

namespace tarven {
namespace {

// The four texts are short; more than this means damage.
constexpr uint64_t kMaxTextsBytes = 1 << 20;

// Reads the four texts (each closed by a zero unit) from `bytes`, then the
// digests when the marker follows at the next 8-byte boundary (counted from
// `base`, the place `bytes` starts at in 8-byte-aligned terms). Returns false
// naming the text that has no end in `missing`.
bool parse_texts(const std::vector<unsigned char>& bytes, uint64_t base, LauncherTexts& texts, std::string& missing) {
  std::u16string* fields[] = {&texts.target_template, &texts.company, &texts.product, &texts.version};
  const char* names[] = {"target template", "company", "product", "version"};
  size_t at = 0;
  for (size_t i = 0; i < 4; ++i) {
    while (true) {
      if (at + 2 > bytes.size()) {
        missing = names[i];
        return false;
      }
      const char16_t unit = static_cast<char16_t>(bytes[at] | (bytes[at + 1] << 8));
      at += 2;
      if (unit == 0) break;
      fields[i]->push_back(unit);
    }
  }
  const uint64_t marker_at = ((base + at + 7) & ~uint64_t{7}) - base;
  if (marker_at + 16 <= bytes.size() && std::equal(kDigestMarker, kDigestMarker + 8, bytes.begin() + marker_at)) {
    const uint64_t count = get_le64(bytes.data() + marker_at + 8);
    if (count > (bytes.size() - marker_at - 16) / 8) {
      missing = "digests";
      return false;
    }
    texts.has_digests = true;
    for (uint64_t i = 0; i < count; ++i) texts.digests.push_back(get_le64(bytes.data() + marker_at + 16 + i * 8));
    const uint64_t resource_at = marker_at + 16 + count * 8;
    if (resource_at + 16 <= bytes.size() &&
        std::equal(kResourceDigestMarker, kResourceDigestMarker + 8, bytes.begin() + resource_at)) {
      texts.has_resource_digest = true;
      texts.resource_digest = get_le64(bytes.data() + resource_at + 8);
    }
  }
  return true;
}

}  // namespace

std::string subsystem_text(uint16_t subsystem) {
  if (subsystem == kSubsystemGui) return "GUI";
  if (subsystem == kSubsystemConsole) return "console";
  return "subsystem " + std::to_string(subsystem);
}

std::string mode_text(bool cached) {
  return cached ? "cached (unpacked once, reused by later starts)" : "unpacked at every start";
}

LauncherImage read_launcher_image(InputFile& exe) {
  PeImage image(exe, kExitFailure);
  auto fail = [&](const std::string& what) { return failure(exe.name() + ": " + what); };
  const PeSection* section = image.find_section(TARVEN_SLOTS_SECTION);
  if (!section) throw fail("has no .tarven section, so it was not made by tarven-pack");
  const uint64_t in_file = image.bytes_in_file(*section);
  if (in_file < 8) throw fail("has a .tarven section too small for the payload size");

  LauncherImage out;
  out.file_size = exe.size();
  out.subsystem = image.subsystem();
  unsigned char head[kSlotsSize] = {};
  exe.read_at(section->raw_offset, head, static_cast<size_t>(std::min<uint64_t>(in_file, sizeof head)));
  std::vector<unsigned char> bytes;
  uint64_t base = 0;
  if (std::memcmp(head, kSlotsMagic, sizeof kSlotsMagic) == 0) {
    // Written from the launcher image: the slots say where everything is.
    out.has_slots = true;
    if (in_file < kSlotsSize) throw fail("has slots cut short");
    out.payload_size = get_le64(head + offsetof(TarvenSlots, payload_size));
    const uint32_t payload_rva = get_le32(head + offsetof(TarvenSlots, payload_rva));
    const uint32_t texts_rva = get_le32(head + offsetof(TarvenSlots, target_template_rva));
    if (payload_rva == 0) throw fail("has empty slots: it is a launcher image that no packer wrote");
    if (out.payload_size > image.bytes_from(payload_rva))
      throw fail("its payload size (" + std::to_string(out.payload_size) + " bytes) does not fit in its section");
    out.payload_offset = image.rva_to_offset(payload_rva, 1);
    const uint32_t texts_len = image.bytes_from(texts_rva);
    if (texts_len == 0) throw fail("its texts lie outside its sections");
    bytes.resize(static_cast<size_t>(std::min<uint64_t>(texts_len, kMaxTextsBytes)));
    exe.read_at(image.rva_to_offset(texts_rva, 1), bytes.data(), bytes.size());
    base = texts_rva;
    out.texts.cached = (get_le32(head + offsetof(TarvenSlots, flags)) & kSlotsCached) != 0;
    const uint32_t id_rva = get_le32(head + offsetof(TarvenSlots, payload_id_rva));
    if (id_rva != 0) {
      if (image.bytes_from(id_rva) < 2 * (kPayloadIdUnits + 1)) throw fail("its payload id lies outside its sections");
      unsigned char id[2 * kPayloadIdUnits];
      exe.read_at(image.rva_to_offset(id_rva, sizeof id), id, sizeof id);
      for (size_t i = 0; i < kPayloadIdUnits; ++i) out.texts.payload_id.push_back(static_cast<char16_t>(id[2 * i] | (id[2 * i + 1] << 8)));
    }
  } else {
    // Linked by earlier versions: the size, the payload, then the texts, all in .tarven.
    out.payload_size = get_le64(head);
    out.payload_offset = uint64_t{section->raw_offset} + 8;
    if (out.payload_size > in_file - 8)
      throw fail("its payload size (" + std::to_string(out.payload_size) + " bytes) does not fit in its .tarven section");
    const uint64_t texts_start = (8 + out.payload_size + 1) & ~uint64_t{1};
    const uint64_t texts_len = texts_start < in_file ? in_file - texts_start : 0;
    bytes.resize(static_cast<size_t>(std::min(texts_len, kMaxTextsBytes)));
    exe.read_at(section->raw_offset + texts_start, bytes.data(), bytes.size());
    base = texts_start;
  }
  std::string missing;
  if (!parse_texts(bytes, base, out.texts, missing)) {
    if (missing == "digests") throw fail("its stored digests run past the section");
    throw fail("its " + missing + " text has no end");
  }
  return out;
}

}  // namespace tarven
