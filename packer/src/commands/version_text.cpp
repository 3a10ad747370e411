// Parsing of A.B.C.D versions; see version_text.h.
#include "commands/version_text.h"

#include "host/errors.h"

namespace tarven {

std::array<uint16_t, 4> parse_version(const std::string& text) {
  auto refuse = [&](const std::string& why) {
    return user_error("--version '" + text + "': " + why);
  };
  std::array<uint16_t, 4> parts{};
  size_t at = 0;
  for (size_t i = 0; i < 4; ++i) {
    if (i > 0) {
      if (at >= text.size() || text[at] != '.') throw refuse("needs four numbers, as in 1.2.3.4");
      ++at;
    }
    const size_t start = at;
    uint32_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 6)
      value = value * 10 + static_cast<uint32_t>(text[at++] - '0');
    if (at == start) throw refuse("needs four numbers, as in 1.2.3.4");
    if (value > 65535 || (at < text.size() && text[at] >= '0' && text[at] <= '9'))
      throw refuse("each number must be at most 65535");
    parts[i] = static_cast<uint16_t>(value);
  }
  if (at != text.size()) throw refuse("needs four numbers, as in 1.2.3.4");
  return parts;
}

}  // namespace tarven
