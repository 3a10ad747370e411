// The executable's own checks; see image_check.h.
#include "image/image_check.h"

#include <algorithm>
#include <cstring>

#include "contract/contract.h"
#include "host/le_bytes.h"
#include "image/pe_checksum.h"
#include "pack/entry_digest.h"

namespace tarven {

bool checksum_matches(InputFile& exe, const PeImage& image) {
  const uint64_t field = image.optional_offset() + kCheckSumField;
  unsigned char stored_bytes[4];
  exe.read_at(field, stored_bytes, sizeof stored_bytes);
  const uint32_t stored = get_le32(stored_bytes);
  if (stored == 0) return true;
  // The certificate table, a file offset, ends the file; without it and its
  // directory entry the file is the one the packer wrote.
  const DataDirectory certificates = image.directory(kCertificateDirectoryIndex);
  const uint64_t unsigned_end =
      certificates.size && certificates.address % 2 == 0 && certificates.address <= exe.size() ? certificates.address : 0;
  const uint64_t entry = image.directory_entry_offset(kCertificateDirectoryIndex);
  uint64_t whole = 0, before_certificates = 0;
  std::vector<unsigned char> buffer(1 << 20);
  for (uint64_t at = 0; at < exe.size(); at += buffer.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), exe.size() - at));
    exe.read_at(at, buffer.data(), n);
    // The checksum field counts as zero; the buffer is even-sized, so words never straddle two reads.
    if (field >= at && field + 4 <= at + n) std::memset(buffer.data() + (field - at), 0, 4);
    whole += word_sum(buffer.data(), n);
    if (unsigned_end > at) {
      const size_t part = static_cast<size_t>(std::min<uint64_t>(n, unsigned_end - at));
      if (entry && entry >= at && entry + 8 <= at + part) std::memset(buffer.data() + (entry - at), 0, 8);
      before_certificates += word_sum(buffer.data(), part);
    }
    whole = fold_checksum(whole);
    before_certificates = fold_checksum(before_certificates);
  }
  if (fold_checksum(whole) + exe.size() == stored) return true;
  return unsigned_end && fold_checksum(before_certificates) + unsigned_end == stored;
}

std::string launcher_difference(InputFile& exe, const PeImage& image, const std::vector<unsigned char>& launcher) {
  // The launcher image is the packer's own and was checked when it was built
  // into the packer; read it without ceremony, bounded all the same.
  const size_t size = launcher.size();
  if (size < 64) return "headers";
  const uint32_t pe = get_le32(launcher.data() + 0x3C);
  if (uint64_t{pe} + 24 > size) return "headers";
  const uint16_t count = get_le16(launcher.data() + pe + 6);
  const uint64_t table = uint64_t{pe} + 24 + get_le16(launcher.data() + pe + 20);
  if (table + uint64_t{count} * 40 > size) return "headers";
  const std::vector<PeSection>& sections = image.sections();
  if (sections.size() != size_t{count} + 2) return "section table";
  std::vector<unsigned char> bytes;
  for (uint16_t i = 0; i < count; ++i) {
    const unsigned char* entry = launcher.data() + table + size_t{i} * 40;
    const PeSection& got = sections[i];
    const uint32_t virtual_size = get_le32(entry + 8), rva = get_le32(entry + 12);
    const uint32_t raw_size = get_le32(entry + 16), raw_offset = get_le32(entry + 20);
    const std::string name(reinterpret_cast<const char*>(entry), strnlen(reinterpret_cast<const char*>(entry), 8));
    if (got.name != name || got.virtual_address != rva || got.virtual_size != virtual_size) return name;
    const uint32_t length = virtual_size ? std::min(raw_size, virtual_size) : raw_size;
    if (uint64_t{raw_offset} + length > size) return name;
    if (length == 0) continue;
    if (image.bytes_in_file(got) < length) return name;
    bytes.resize(length);
    exe.read_at(got.raw_offset, bytes.data(), length);
    // The slots are the one part of the launcher that build writes.
    const size_t skip = name == TARVEN_SLOTS_SECTION ? std::min<size_t>(kSlotsSize, length) : 0;
    if (std::memcmp(bytes.data() + skip, launcher.data() + raw_offset + skip, length - skip) != 0) return name;
  }
  return {};
}

bool resources_match(InputFile& exe, const PeImage& image, uint64_t digest) {
  const DataDirectory resources = image.directory(kResourceDirectoryIndex);
  if (resources.size == 0 || image.bytes_from(resources.address) < resources.size) return false;
  std::vector<unsigned char> bytes(resources.size);
  exe.read_at(image.rva_to_offset(resources.address, resources.size), bytes.data(), bytes.size());
  return resource_digest(bytes.data(), bytes.size()) == digest;
}

}  // namespace tarven
