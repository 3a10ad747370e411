// Minimal PE images written byte by byte, for entry check cases that a
// compiler cannot easily produce (32-bit machine, broken headers).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarven_test {

struct PeShape {
  uint16_t machine = 0x8664;
  uint16_t magic = 0x20B;  // PE32+; 0x10B is PE32
  uint16_t characteristics = 0x2022;  // executable, large-address-aware, DLL
  std::vector<std::string> exports;   // names in the export directory (none: no directory)
  // The name pointer table points at the names this many times over, the
  // i-th time at name i % count advanced by `export_skew` * i % its length bytes.
  uint32_t export_repeats = 1;
  uint32_t export_skew = 0;
  std::vector<std::string> imports;   // DLLs in the import directory (none: no directory)
  std::vector<std::string> delay_imports;  // DLLs in the delay-import directory (none: no directory)
};

std::string make_pe(const PeShape& shape);

}  // namespace tarven_test
