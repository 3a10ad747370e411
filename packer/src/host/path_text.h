// The packer's text is UTF-8; a path holds the system's own text (UTF-8
// bytes on Linux, UTF-16 on Windows, where fs::path(std::string) would read
// the ANSI code page and mangle any other name). Text and paths cross only here.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tarven {

// A path named by UTF-8 text (a command line argument, a payload name).
std::filesystem::path utf8_path(const std::string& utf8);

// A path as UTF-8 text, for messages and for names kept as text, without
// long_path's prefix. Never throws: a Windows name with an unpaired surrogate
// shows U+FFFD there.
std::string display_path(const std::filesystem::path& path);

// Windows: `path` made absolute with the \\?\ prefix, under which names may
// be longer than MAX_PATH (260 units), as payload names can be. Linux: `path`.
std::filesystem::path long_path(const std::filesystem::path& path);

// `name` (one component) as a payload name component; nullopt when it is
// not well-formed in the system's encoding, kNameEncoding.
std::optional<std::u16string> name_utf16(const std::filesystem::path& name);
extern const char* const kNameEncoding;

}  // namespace tarven
