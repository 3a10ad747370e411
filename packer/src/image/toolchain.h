// Finding the cross tools (PREFIXgcc, else PREFIXgcc-posix; PREFIXwindres)
// and the kit folder (the launcher's libraries and default resources).
#pragma once

#include <filesystem>
#include <string>

namespace tarven {

constexpr const char* kDefaultToolchainPrefix = "x86_64-w64-mingw32-";

struct Toolchain {
  std::filesystem::path gcc;
  std::filesystem::path windres;
};

// `prefix` from --toolchain, else TARVEN_TOOLCHAIN, else the default.
std::string choose_toolchain_prefix(const std::string& option);
// Throws a user error (exit 2) when a tool is missing.
Toolchain find_toolchain(const std::string& prefix);

struct Kit {
  std::filesystem::path lib_dir;
  std::filesystem::path manifest;
  std::filesystem::path icon;
};

// `option` from --kit, else TARVEN_KIT, else <packer's folder>/../lib/tarven-onefile.
// Throws a user error (exit 2) naming the folder and the missing file.
Kit find_kit(const std::string& option, const char* argv0);

}  // namespace tarven
