// Paths to and from UTF-8 text; see path_text.h.
#include "host/path_text.h"

#include "host/utf.h"

namespace fs = std::filesystem;

namespace tarven {

fs::path utf8_path(const std::string& utf8) { return fs::u8path(utf8); }

#ifdef _WIN32

const char* const kNameEncoding = "UTF-16";

namespace {

std::u16string units(const fs::path& path) {
  const std::wstring& native = path.native();
  return std::u16string(native.begin(), native.end());
}

bool starts_with(const std::u16string& text, const std::u16string& head) {
  return text.compare(0, head.size(), head) == 0;
}

const std::u16string kLongPrefix = u"\\\\?\\";
const std::u16string kLongUncPrefix = u"\\\\?\\UNC\\";

}  // namespace

std::string display_path(const fs::path& path) {
  const std::u16string u = units(path);
  if (starts_with(u, kLongUncPrefix)) return "\\\\" + utf16_to_utf8(u.substr(kLongUncPrefix.size()));
  if (starts_with(u, kLongPrefix)) return utf16_to_utf8(u.substr(kLongPrefix.size()));
  return utf16_to_utf8(u);
}

fs::path long_path(const fs::path& path) {
  std::error_code ec;
  const fs::path full = fs::absolute(path, ec);  // also turns '/' into '\' and drops '.' and '..'
  if (ec) return path;
  const std::u16string u = units(full);
  if (starts_with(u, kLongPrefix) || starts_with(u, u"\\\\.\\")) return full;
  const bool unc = starts_with(u, u"\\\\");
  const std::u16string prefixed = (unc ? kLongUncPrefix : kLongPrefix) + u.substr(unc ? 2 : 0);
  return fs::path(std::wstring(prefixed.begin(), prefixed.end()));
}

std::optional<std::u16string> name_utf16(const fs::path& name) {
  std::u16string u = units(name);
  // Only an unpaired surrogate fails to come back unchanged.
  if (utf8_to_utf16(utf16_to_utf8(u)) != u) return std::nullopt;
  return u;
}

#else

const char* const kNameEncoding = "UTF-8";

std::string display_path(const fs::path& path) { return path.u8string(); }

fs::path long_path(const fs::path& path) { return path; }

std::optional<std::u16string> name_utf16(const fs::path& name) { return utf8_to_utf16(name.native()); }

#endif

}  // namespace tarven
