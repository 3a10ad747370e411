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

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Whether a payload name ends in ".dll", in any case.
bool ends_in_dll(const std::u16string& name) {
  const size_t n = name.size();
  return n >= 4 && name[n - 4] == u'.' && (name[n - 3] | 0x20) == u'd' && (name[n - 2] | 0x20) == u'l' &&
         (name[n - 1] | 0x20) == u'l';
}

// What to do about a missing DLL of the runtimes that most often go missing;
// empty for any other DLL.
std::string runtime_advice(const std::string& dll) {
  const std::string name = lower(dll);
  if (starts_with(name, "libstdc++") || starts_with(name, "libgcc_s"))
    return "the GNU C++ runtime: link your DLL with -static (or -static-libgcc -static-libstdc++)";
  // The posix-thread mingw-w64 compilers' runtime needs it even with
  // -static-libgcc -static-libstdc++; -static takes it in too.
  if (starts_with(name, "libwinpthread"))
    return "the GNU C++ runtime: link your DLL with -static (-static-libgcc -static-libstdc++ still leave "
           "libwinpthread-1.dll to the posix-thread compilers), or pack libwinpthread-1.dll beside it";
  if (starts_with(name, "vcruntime") || starts_with(name, "msvcp") || starts_with(name, "concrt") ||
      starts_with(name, "vcomp") || starts_with(name, "msvcr"))
    return "the Visual C++ runtime: pack its DLLs beside yours, or build with the static runtime (/MT)";
  return "";
}

// "a", "a and b", "a, b and c".
std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i)
    text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  return text;
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
  if (starts_with(folded, "api-ms-win-") || starts_with(folded, "ext-ms-win-")) return true;
  return std::find(std::begin(kSystemDlls), std::end(kSystemDlls), folded) != std::end(kSystemDlls);
}

std::vector<std::string> unmet_dependencies(const std::vector<PackEntry>& entries) {
  // Packed files by folded folder and base name, and by base name alone
  // (where each was packed, as its entry names it): made only once a DLL
  // imports one that is not the system's, as most payloads' DLLs do not, and
  // a payload of many files would pay for it on every build.
  std::set<std::pair<std::string, std::string>> packed;
  std::map<std::string, std::string> packed_as;
  bool listed_packed = false;
  auto list_packed = [&] {
    if (listed_packed) return;
    listed_packed = true;
    for (const PackEntry& e : entries) {
      const std::string name = utf16_to_utf8(e.name);
      const std::string folded = lower(name);
      packed.insert({folder_of(folded), base_of(folded)});
      packed_as.emplace(base_of(folded), name);
    }
  };
  std::vector<std::string> lines;
  for (const PackEntry& e : entries) {
    if (!ends_in_dll(e.name)) continue;
    const std::string name = utf16_to_utf8(e.name);
    const std::string folded = lower(name);
    std::vector<std::string> imports;
    try {
      InputFile file(std::filesystem::path(e.source));
      PeImage image(file, kExitUsage);
      imports = image.imported_dlls();
    } catch (const Failure&) {
      continue;  // not a PE image: a data file that ends in .dll, or the entry check's to judge
    }
    // The missing DLLs by the advice they share, in the order first imported:
    // one line says it once for all of them.
    std::vector<std::pair<std::string, std::vector<std::string>>> by_advice;
    std::set<std::string> said;
    for (const std::string& dll : imports) {
      const std::string wanted = lower(dll);
      if (is_system_dll(wanted) || !said.insert(wanted).second) continue;
      list_packed();
      if (packed.count({folder_of(folded), wanted}) || packed.count({"", wanted})) continue;
      std::string advice = runtime_advice(dll);
      if (auto elsewhere = packed_as.find(wanted); elsewhere != packed_as.end())
        advice = "pack " + dll + " beside it (it is packed as " + elsewhere->second + ", where the loader does not look)";
      else if (advice.empty())
        advice = "pack it beside the DLL that needs it";
      auto group = std::find_if(by_advice.begin(), by_advice.end(), [&](const auto& g) { return g.first == advice; });
      if (group == by_advice.end()) group = by_advice.insert(by_advice.end(), {advice, {}});
      group->second.push_back(dll);
    }
    for (const auto& [advice, dlls] : by_advice)
      lines.push_back(name + " imports " + listed(dlls) +
                      (dlls.size() == 1 ? ", which is neither a system DLL nor packed"
                                        : ", which are neither system DLLs nor packed") +
                      " where the loader looks (beside it or at the top): " + advice);
  }
  return lines;
}

}  // namespace tarven
