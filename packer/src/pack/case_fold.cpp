// Simple upper-case folding of BMP units; see case_fold.h for the covered blocks.
#include "pack/case_fold.h"

namespace tarven {
namespace {

// In blocks where upper and lower case alternate, `upper_parity` says whether
// the upper-case letter of each pair sits on even (0) or odd (1) units; the
// lower-case letter always follows its upper case.
char16_t fold_pair(char16_t u, unsigned upper_parity) {
  return (u & 1u) == upper_parity ? u : static_cast<char16_t>(u - 1);
}

}  // namespace

char16_t fold_case(char16_t u) {
  if (u < 0x80) return (u >= u'a' && u <= u'z') ? static_cast<char16_t>(u - 0x20) : u;
  if (u == 0xB5) return 0x39C;
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return static_cast<char16_t>(u - 0x20);
  if (u == 0xFF) return 0x178;
  if (u >= 0x100 && u <= 0x12F) return fold_pair(u, 0);
  if (u == 0x131) return u'I';
  if (u >= 0x132 && u <= 0x137) return fold_pair(u, 0);
  if (u >= 0x139 && u <= 0x148) return fold_pair(u, 1);
  if (u >= 0x14A && u <= 0x177) return fold_pair(u, 0);
  if (u >= 0x179 && u <= 0x17E) return fold_pair(u, 1);
  if (u == 0x17F) return u'S';
  if (u == 0x3AC) return 0x386;
  if (u >= 0x3AD && u <= 0x3AF) return static_cast<char16_t>(u - 0x25);
  if (u == 0x3C2) return 0x3A3;
  if (u >= 0x3B1 && u <= 0x3CB) return static_cast<char16_t>(u - 0x20);
  if (u == 0x3CC) return 0x38C;
  if (u == 0x3CD || u == 0x3CE) return static_cast<char16_t>(u - 0x3F);
  if (u >= 0x430 && u <= 0x44F) return static_cast<char16_t>(u - 0x20);
  if (u >= 0x450 && u <= 0x45F) return static_cast<char16_t>(u - 0x50);
  if (u >= 0x460 && u <= 0x481) return fold_pair(u, 0);
  if (u >= 0x48A && u <= 0x4BF) return fold_pair(u, 0);
  if (u >= 0x4C1 && u <= 0x4CE) return fold_pair(u, 1);
  if (u == 0x4CF) return 0x4C0;
  if (u >= 0x4D0 && u <= 0x52F) return fold_pair(u, 0);
  if (u >= 0x561 && u <= 0x586) return static_cast<char16_t>(u - 0x30);
  if (u >= 0x1E00 && u <= 0x1E95) return fold_pair(u, 0);
  if (u >= 0x1EA0 && u <= 0x1EFF) return fold_pair(u, 0);
  if (u >= 0x2170 && u <= 0x217F) return static_cast<char16_t>(u - 0x10);
  if (u >= 0x24D0 && u <= 0x24E9) return static_cast<char16_t>(u - 0x1A);
  if (u >= 0xFF41 && u <= 0xFF5A) return static_cast<char16_t>(u - 0x20);
  return u;
}

std::u16string fold_case(const std::u16string& text) {
  std::u16string out(text);
  for (char16_t& u : out) u = fold_case(u);
  return out;
}

}  // namespace tarven
