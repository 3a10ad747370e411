// Byte-level PE images for tests; see pe_builder.h.
#include "pe_builder.h"

namespace tarven_test {
namespace {

void put16(std::string& s, size_t at, uint32_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& s, size_t at, uint32_t v) {
  put16(s, at, v & 0xFFFF);
  put16(s, at + 2, v >> 16);
}

}  // namespace

std::string make_pe(const PeShape& shape) {
  const bool plus = shape.magic == 0x20B;
  const uint32_t optional_size = plus ? 0xF0 : 0xE0;
  const uint32_t pe_at = 0x40, section_va = 0x1000, section_raw = 0x200;
  std::string image(section_raw, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  put32(image, 0x3C, pe_at);
  image.replace(pe_at, 4, std::string("PE\0\0", 4));
  put16(image, pe_at + 4, shape.machine);
  put16(image, pe_at + 6, 1);  // one section
  put16(image, pe_at + 20, optional_size);
  put16(image, pe_at + 22, shape.characteristics);
  const size_t opt = pe_at + 24;
  put16(image, opt, shape.magic);
  const size_t dirs = opt + (plus ? 112 : 96);
  put32(image, dirs - 4, 16);  // NumberOfRvaAndSizes

  // The one section: export directory, name pointer table, then the names.
  const size_t pointers = shape.exports.size() * shape.export_repeats;
  std::string section(40 + 4 * pointers, '\0');
  std::vector<uint32_t> name_rvas;
  for (const std::string& name : shape.exports) {
    name_rvas.push_back(section_va + static_cast<uint32_t>(section.size()));
    section += name;
    section.push_back('\0');
  }
  put32(section, 24, static_cast<uint32_t>(pointers));
  put32(section, 32, section_va + 40);
  for (size_t i = 0; i < pointers; ++i) {
    const size_t name = i % name_rvas.size(), length = shape.exports[name].size();
    const size_t skew = length ? uint64_t{shape.export_skew} * i % length : 0;
    put32(section, 40 + 4 * i, name_rvas[name] + static_cast<uint32_t>(skew));
  }
  // Import descriptors (20 bytes, name at 12) and delay-import descriptors
  // (32 bytes, name at 4), each table closed by a zero descriptor.
  auto add_table = [&](const std::vector<std::string>& dlls, uint32_t size, uint32_t name_at, size_t directory) {
    if (dlls.empty()) return;
    const size_t table = section.size();
    section.append((dlls.size() + 1) * size, '\0');
    for (size_t i = 0; i < dlls.size(); ++i) {
      put32(section, table + i * size + name_at, section_va + static_cast<uint32_t>(section.size()));
      section += dlls[i];
      section.push_back('\0');
    }
    put32(image, dirs + directory * 8, section_va + static_cast<uint32_t>(table));
    put32(image, dirs + directory * 8 + 4, static_cast<uint32_t>((dlls.size() + 1) * size));
  };
  add_table(shape.imports, 20, 12, 1);
  add_table(shape.delay_imports, 32, 4, 13);
  section.resize((section.size() + 0x1FF) & ~size_t{0x1FF}, '\0');
  if (!shape.exports.empty()) {
    put32(image, dirs, section_va);
    put32(image, dirs + 4, 40);
  }
  const size_t header = opt + optional_size;
  image.replace(header, 6, ".edata");
  put32(image, header + 8, static_cast<uint32_t>(section.size()));
  put32(image, header + 12, section_va);
  put32(image, header + 16, static_cast<uint32_t>(section.size()));
  put32(image, header + 20, section_raw);
  return image + section;
}

}  // namespace tarven_test
