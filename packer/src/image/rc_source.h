// Generates the windres script: manifest (RT_MANIFEST 1), icon group 1 and a
// VERSIONINFO whose strings match what the launcher expands for {COMPANY},
// {PRODUCT} and {VERSION}.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tarven {

struct VersionResource {
  std::array<uint16_t, 4> numbers{};
  std::u16string company;
  std::u16string product;
  std::u16string version;
  std::u16string description;
  std::u16string original_filename;
  std::u16string internal_name;
};

// A windres wide string literal: everything but letters, digits, space and a
// few safe marks becomes a 4-digit \x escape (windres reads at most four hex
// digits, so a following digit cannot be swallowed), and the script stays ASCII.
std::string rc_wide_literal(const std::u16string& text);

// `manifest_file` and `icon_file` are relative to windres's working folder.
std::string make_rc_source(const std::string& manifest_file, const std::string& icon_file,
                           const VersionResource& version);

}  // namespace tarven
