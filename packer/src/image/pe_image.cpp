// PE header, section and export directory parsing; see pe_image.h.
#include "image/pe_image.h"

#include <algorithm>
#include <set>

#include "host/errors.h"
#include "host/le_bytes.h"

namespace tarven {
namespace {

constexpr uint32_t kMaxExportNames = 1u << 20;
constexpr size_t kMaxExportNameLength = 4096;
constexpr uint32_t kMaxImportedDlls = 4096;

}  // namespace

PeImage::PeImage(InputFile& file, int exit_code) : file_(file), exit_code_(exit_code) {
  if (file.size() < 64) fail("is not a PE file (too small)");
  unsigned char dos[64];
  file.read_at(0, dos, sizeof dos);
  if (dos[0] != 'M' || dos[1] != 'Z') fail("is not a PE file (no MZ header)");
  const uint32_t pe_offset = get_le32(dos + 0x3C);
  unsigned char coff[24];
  if (uint64_t{pe_offset} + sizeof coff > file.size()) fail("is not a PE file (bad PE offset)");
  file.read_at(pe_offset, coff, sizeof coff);
  if (coff[0] != 'P' || coff[1] != 'E' || coff[2] != 0 || coff[3] != 0)
    fail("is not a PE file (no PE signature)");
  machine_ = get_le16(coff + 4);
  const uint16_t section_count = get_le16(coff + 6);
  const uint16_t optional_size = get_le16(coff + 20);
  characteristics_ = get_le16(coff + 22);
  const uint64_t optional_offset = uint64_t{pe_offset} + sizeof coff;
  if (optional_size < 2 || optional_offset + optional_size > file.size())
    fail("has a truncated optional header");
  std::vector<unsigned char> optional(optional_size);
  file.read_at(optional_offset, optional.data(), optional.size());
  magic_ = get_le16(optional.data());
  if (optional_size >= 70) subsystem_ = get_le16(optional.data() + 68);  // the same place in PE32 and PE32+
  optional_offset_ = optional_offset;
  // The data directories start at 96 (PE32) or 112 (PE32+), after their count.
  const size_t count_at = magic_ == kMagicPe32Plus ? 108 : 92;
  if ((magic_ == kMagicPe32Plus || magic_ == kMagicPe32) && optional_size >= count_at + 4) {
    const uint32_t count = get_le32(optional.data() + count_at);
    directories_offset_ = optional_offset + count_at + 4;
    for (uint32_t index = 0; index < count && index < 16 && optional_size >= count_at + 4 + (index + 1) * 8; ++index) {
      const unsigned char* at = optional.data() + count_at + 4 + size_t{index} * 8;
      directories_.push_back({get_le32(at), get_le32(at + 4)});
    }
  }
  const uint64_t table_offset = optional_offset + optional_size;
  if (table_offset + uint64_t{section_count} * 40 > file.size()) fail("has a truncated section table");
  // One read for the whole table: up to 65,535 entries of 40 bytes.
  std::vector<unsigned char> table(size_t{section_count} * 40);
  file.read_at(table_offset, table.data(), table.size());
  sections_.reserve(section_count);
  for (uint16_t i = 0; i < section_count; ++i) {
    const unsigned char* raw = table.data() + size_t{i} * 40;
    PeSection s;
    size_t name_len = 0;
    while (name_len < 8 && raw[name_len]) ++name_len;
    s.name.assign(reinterpret_cast<const char*>(raw), name_len);
    s.virtual_size = get_le32(raw + 8);
    s.virtual_address = get_le32(raw + 12);
    s.raw_size = get_le32(raw + 16);
    s.raw_offset = get_le32(raw + 20);
    if (s.raw_size && uint64_t{s.raw_offset} + s.raw_size > file.size())
      fail("has a section " + s.name + " that extends past the end of the file");
    sections_.push_back(s);
  }
}

DataDirectory PeImage::directory(uint32_t index) const {
  return index < directories_.size() ? directories_[index] : DataDirectory{};
}

uint64_t PeImage::directory_entry_offset(uint32_t index) const {
  return index < directories_.size() ? directories_offset_ + uint64_t{index} * 8 : 0;
}

const PeSection* PeImage::find_section(const std::string& name) const {
  for (const PeSection& s : sections_)
    if (s.name == name) return &s;
  return nullptr;
}

uint32_t PeImage::bytes_in_file(const PeSection& s) const {
  // A virtual size of 0 is what some linkers write for "same as the raw size".
  return s.virtual_size && s.virtual_size < s.raw_size ? s.virtual_size : s.raw_size;
}

uint64_t PeImage::rva_to_offset(uint32_t rva, uint32_t length) const {
  for (const PeSection& s : sections_) {
    const uint32_t in_file = bytes_in_file(s);
    if (rva >= s.virtual_address && uint64_t{rva} + length <= uint64_t{s.virtual_address} + in_file)
      return uint64_t{s.raw_offset} + (rva - s.virtual_address);
  }
  fail("has a directory pointing outside its sections");
}

uint32_t PeImage::bytes_from(uint32_t rva) const {
  for (const PeSection& s : sections_) {
    const uint32_t in_file = bytes_in_file(s);
    if (rva >= s.virtual_address && rva - s.virtual_address < in_file) return in_file - (rva - s.virtual_address);
  }
  return 0;
}

std::vector<std::string> PeImage::export_names() {
  std::vector<std::string> names;
  const DataDirectory exports = directory(kExportDirectoryIndex);
  if (exports.address == 0 || exports.size == 0) return names;
  unsigned char dir[40];
  file_.read_at(rva_to_offset(exports.address, sizeof dir), dir, sizeof dir);
  const uint32_t count = get_le32(dir + 24);
  const uint32_t names_rva = get_le32(dir + 32);
  if (count > kMaxExportNames) fail("has an export directory with too many names");
  if (count == 0) return names;
  std::vector<unsigned char> table(size_t{count} * 4);
  file_.read_at(rva_to_offset(names_rva, static_cast<uint32_t>(table.size())), table.data(),
                table.size());
  // A name is kept once however often the table points at it, and the names
  // kept fit in the file: a table pointing a million times at one long name,
  // or at every byte of one, costs no more than the file holds.
  std::set<uint32_t> seen;
  uint64_t kept = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t rva = get_le32(table.data() + size_t{i} * 4);
    if (!seen.insert(rva).second) continue;
    names.push_back(name_at(rva));
    kept += names.back().size() + 1;
    if (kept > file_.size()) fail("has export names that add up to more than the file holds");
  }
  return names;
}

std::string PeImage::name_at(uint32_t rva) {
  const uint64_t offset = rva_to_offset(rva, 1);
  const uint64_t available = std::min<uint64_t>(bytes_from(rva), kMaxExportNameLength);
  // Names are short: a small read first, more only for a longer one.
  std::string chunk;
  for (uint64_t want = std::min<uint64_t>(available, 64);; want = std::min<uint64_t>(available, want * 8)) {
    chunk.resize(static_cast<size_t>(want));
    file_.read_at(offset, chunk.data(), chunk.size());
    const size_t end = chunk.find('\0');
    if (end != std::string::npos) return chunk.substr(0, end);
    if (want == available) fail("has a name without an end");
  }
}

std::vector<std::string> PeImage::imported_dlls() {
  std::vector<std::string> names;
  // Import descriptors are 20 bytes with the name's RVA at 12; delay-import
  // descriptors 32 bytes with it at 4. Each table ends with a zero name.
  const struct {
    uint32_t rva, size, name_at;
  } tables[] = {{directory(kImportDirectoryIndex).address, 20, 12},
                {directory(kDelayImportDirectoryIndex).address, 32, 4}};
  for (const auto& table : tables) {
    if (table.rva == 0) continue;
    for (uint32_t i = 0; i < kMaxImportedDlls; ++i) {
      unsigned char descriptor[32];
      file_.read_at(rva_to_offset(table.rva + i * table.size, table.size), descriptor, table.size);
      const uint32_t name_rva = get_le32(descriptor + table.name_at);
      if (name_rva == 0) break;
      names.push_back(name_at(name_rva));
    }
  }
  return names;
}

void PeImage::fail(const std::string& what) const { throw Failure(exit_code_, file_.name() + ": " + what); }

}  // namespace tarven
