// UTF-8 <-> UTF-16 conversion for payload names (Linux names are UTF-8 bytes,
// payload names are UTF-16LE code units).
#pragma once

#include <optional>
#include <string>

namespace tarven {

// Strict decoding: overlong forms, surrogates encoded in UTF-8, values above
// U+10FFFF and truncated sequences give nullopt. Non-BMP becomes a surrogate pair.
std::optional<std::u16string> utf8_to_utf16(const std::string& utf8);

// Unpaired surrogates (possible in a damaged or foreign payload) become U+FFFD,
// so the text can always be shown.
std::string utf16_to_utf8(const std::u16string& utf16);

}  // namespace tarven
