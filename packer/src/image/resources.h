// The executable's .rsrc section, written byte by byte: the icon (RT_ICON 1..n
// and RT_GROUP_ICON 1), the version information (RT_VERSION 1) and the
// manifest (RT_MANIFEST 1), all in language 1033, laid out as GNU ld lays out
// a resource compiler's output. Portable: no Windows headers,
// no tool, little-endian whatever the host.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tarven {

// One image of an .ico file: its directory entry's fields as the file has
// them, and its bytes (a BMP/DIB or a PNG) untouched.
struct IconImage {
  uint8_t width = 0;  // 0 means 256
  uint8_t height = 0;
  uint8_t colour_count = 0;
  uint8_t reserved = 0;
  uint16_t planes = 0;
  uint16_t bit_count = 0;
  std::vector<unsigned char> bytes;
};

struct Icon {
  std::vector<IconImage> images;  // in the file's order
};

// Reads an .ico file's directory and images. A file that is not one is
// refused with one line: "<display_name>: is not an .ico file: <reason>".
Icon parse_icon(const std::vector<unsigned char>& bytes, const std::string& display_name);

// The VERSIONINFO texts and numbers; the strings match what the launcher
// expands for {COMPANY}, {PRODUCT} and {VERSION}.
struct VersionResource {
  std::array<uint16_t, 4> numbers{};
  std::u16string company;
  std::u16string product;
  std::u16string version;
  std::u16string description;
  std::u16string copyright;  // LegalCopyright, written only when not empty
  std::u16string original_filename;
  std::u16string internal_name;
};

struct ResourceSet {
  Icon icon;  // no images: no RT_ICON nor RT_GROUP_ICON
  std::vector<unsigned char> manifest;
  VersionResource version;
};

// The manifest's requestedExecutionLevel: "asInvoker" (what the default
// manifest says), "highestAvailable" or "requireAdministrator". Throws a user
// error naming --execution-level for any other text.
std::vector<unsigned char> manifest_with_level(const std::vector<unsigned char>& manifest, const std::string& level);

// What list shows of the resources: the texts only the version resource
// holds and the manifest's execution level; empty where a resource, or its
// text, is missing or damaged.
struct ResourceTexts {
  std::u16string description;
  std::u16string copyright;
  std::string execution_level;
};

// Reads them from the .rsrc section's bytes placed at `section_rva`; every
// offset is checked against the bytes, so a damaged section reads as empty.
ResourceTexts read_resource_texts(const std::vector<unsigned char>& section, uint32_t section_rva);

// The whole .rsrc section for an image that places it at `section_rva`: the
// directory tree (ids sorted), the data entries (RVAs, code page 0), then each
// resource's bytes at an 8-byte boundary. The size is not padded to the file
// alignment. Refused if the section would not fit in the 32-bit address space.
std::vector<unsigned char> make_resource_section(const ResourceSet& set, uint32_t section_rva);

}  // namespace tarven
