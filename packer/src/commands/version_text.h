// The --version value: four dot-separated decimal numbers, each 0..65535,
// as VERSIONINFO needs them.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tarven {

// Throws a user error (exit 2) when `text` is not A.B.C.D.
std::array<uint16_t, 4> parse_version(const std::string& text);

}  // namespace tarven
