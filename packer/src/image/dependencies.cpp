// The dependency check; see dependencies.h.
#include "image/dependencies.h"

#include <algorithm>
#include <map>
#include <set>

#include "host/errors.h"
#include "host/file_io.h"
#include "image/pe_image.h"
#include "host/utf.h"

namespace tarven {
namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

// The DLLs of Windows itself (Windows 7 and later), and the API sets that
// forward into them. A DLL outside this list must travel with the program.
const char* const kSystemDlls[] = {
    "advapi32.dll", "avrt.dll", "bcrypt.dll", "cabinet.dll", "cfgmgr32.dll", "comctl32.dll",
    "comdlg32.dll", "crypt32.dll", "cryptbase.dll", "d2d1.dll", "d3d11.dll", "d3d12.dll", "d3d9.dll",
    "d3dcompiler_47.dll", "dbghelp.dll", "dnsapi.dll", "dsound.dll", "dwmapi.dll", "dwrite.dll",
    "dxgi.dll", "gdi32.dll", "gdiplus.dll", "hid.dll", "imagehlp.dll", "imm32.dll", "iphlpapi.dll",
    "kernel32.dll", "kernelbase.dll", "mpr.dll", "msimg32.dll", "msvcrt.dll", "mswsock.dll",
    "ncrypt.dll", "netapi32.dll", "normaliz.dll", "ntdll.dll", "ole32.dll", "oleacc.dll",
    "oleaut32.dll", "opengl32.dll", "powrprof.dll", "psapi.dll", "rpcrt4.dll", "secur32.dll",
    "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll", "sspicli.dll", "ucrtbase.dll",
    "urlmon.dll", "user32.dll", "userenv.dll", "usp10.dll", "uxtheme.dll", "version.dll",
    "winhttp.dll", "wininet.dll", "winmm.dll", "winspool.drv", "wintrust.dll", "wldap32.dll",
    "ws2_32.dll", "wsock32.dll", "wtsapi32.dll", "xinput1_4.dll",
};

// Advice for the runtimes that most often go missing.
std::string advice(const std::string& dll) {
  const std::string name = lower(dll);
  if (name.rfind("libstdc++", 0) == 0 || name.rfind("libgcc_s", 0) == 0 || name.rfind("libwinpthread", 0) == 0)
    return "the GNU C++ runtime: link your DLL with -static (or -static-libgcc -static-libstdc++)";
  if (name.rfind("vcruntime", 0) == 0 || name.rfind("msvcp", 0) == 0 || name.rfind("concrt", 0) == 0 ||
      name.rfind("vcomp", 0) == 0 || name.rfind("msvcr", 0) == 0)
    return "the Visual C++ runtime: pack its DLLs beside yours, or build with the static runtime (/MT)";
  return "pack it beside the DLL that needs it";
}

// A payload name's folder ("" at the top), folded for comparison.
std::string folder_of(const std::string& name) {
  const size_t cut = name.rfind('\\');
  return cut == std::string::npos ? "" : name.substr(0, cut);
}

std::string base_of(const std::string& name) {
  const size_t cut = name.rfind('\\');
  return cut == std::string::npos ? name : name.substr(cut + 1);
}

}  // namespace

bool is_system_dll(const std::string& name) {
  const std::string folded = lower(name);
  if (folded.rfind("api-ms-win-", 0) == 0 || folded.rfind("ext-ms-win-", 0) == 0) return true;
  return std::find(std::begin(kSystemDlls), std::end(kSystemDlls), folded) != std::end(kSystemDlls);
}

std::vector<std::string> unmet_dependencies(const std::vector<PackEntry>& entries) {
  // Packed files by folded folder and base name.
  std::set<std::pair<std::string, std::string>> packed;
  for (const PackEntry& e : entries) {
    const std::string name = lower(utf16_to_utf8(e.name));
    packed.insert({folder_of(name), base_of(name)});
  }
  std::vector<std::string> lines;
  for (const PackEntry& e : entries) {
    const std::string name = utf16_to_utf8(e.name);
    const std::string folded = lower(name);
    if (folded.size() < 4 || folded.compare(folded.size() - 4, 4, ".dll") != 0) continue;
    std::vector<std::string> imports;
    try {
      InputFile file(e.source);
      PeImage image(file, kExitUsage);
      imports = image.imported_dlls();
    } catch (const Failure&) {
      continue;  // not a PE image: a data file that ends in .dll, or the entry check's to judge
    }
    std::set<std::string> said;
    for (const std::string& dll : imports) {
      const std::string wanted = lower(dll);
      if (is_system_dll(wanted) || !said.insert(wanted).second) continue;
      if (packed.count({folder_of(folded), wanted}) || packed.count({"", wanted})) continue;
      lines.push_back(name + " imports " + dll + ", which is neither a system DLL nor packed where the loader " +
                      "looks (beside it or at the top): " + advice(dll));
    }
  }
  return lines;
}

}  // namespace tarven
