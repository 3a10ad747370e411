// Tool and kit lookup; see toolchain.h.
#include "image/toolchain.h"

#include <cstdlib>

#include "host/errors.h"
#include "host/file_io.h"
#include "host/process.h"

namespace fs = std::filesystem;

namespace tarven {

std::string choose_toolchain_prefix(const std::string& option) {
  if (!option.empty()) return option;
  const char* env = std::getenv("TARVEN_TOOLCHAIN");
  return env && *env ? env : kDefaultToolchainPrefix;
}

Toolchain find_toolchain(const std::string& prefix) {
  Toolchain tools;
  if (auto gcc = find_program(prefix + "gcc"))
    tools.gcc = *gcc;
  else if (auto posix = find_program(prefix + "gcc-posix"))
    tools.gcc = *posix;
  else
    throw user_error(prefix + "gcc: not found (nor " + prefix +
                     "gcc-posix); install the mingw-w64 cross compiler or pass --toolchain PREFIX");
  auto windres = find_program(prefix + "windres");
  if (!windres)
    throw user_error(prefix + "windres: not found; install the mingw-w64 binutils or pass "
                              "--toolchain PREFIX");
  tools.windres = *windres;
  return tools;
}

Kit find_kit(const std::string& option, const char* argv0) {
  fs::path dir;
  if (!option.empty()) {
    dir = option;
  } else if (const char* env = std::getenv("TARVEN_KIT"); env && *env) {
    dir = env;
  } else {
    dir = own_executable(argv0).parent_path() / ".." / "lib" / "tarven-onefile";
  }
  Kit kit{dir / "lib", dir / "resources" / "app.manifest", dir / "resources" / "tarven.ico"};
  for (const fs::path& needed : {kit.lib_dir / "libtarven_launcher.a", kit.lib_dir / "libzstd.a",
                                 kit.manifest, kit.icon}) {
    std::error_code ec;
    if (!fs::is_regular_file(needed, ec))
      throw user_error(display_path(dir) + ": not a launcher kit (" +
                       display_path(fs::relative(needed, dir, ec)) +
                       " is missing); pass --kit DIR or set TARVEN_KIT");
  }
  return kit;
}

}  // namespace tarven
