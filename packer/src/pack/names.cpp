// Name rules and clash detection; see names.h.
#include "pack/names.h"

#include <cstdio>

#include "pack/case_fold.h"
#include "host/utf.h"

namespace tarven {
namespace {

bool is_ascii_letter(char16_t u) { return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z'); }

std::string describe_unit(char16_t u) {
  if (u < 0x20) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(u));
    return std::string("control character ") + buf;
  }
  return std::string("character '") + static_cast<char>(u) + "'";
}

}  // namespace

bool is_refused_in_names(char16_t u) {
  return u < 0x20 || u == u'<' || u == u'>' || u == u':' || u == u'"' || u == u'|' || u == u'?' || u == u'*';
}

// Device names that Windows maps to devices in every folder, with or without
// an extension ("nul.txt" is the NUL device too).
bool is_device_name(const std::u16string& component) {
  std::u16string stem = fold_case(component.substr(0, component.find(u'.')));
  while (!stem.empty() && stem.back() == u' ') stem.pop_back();
  if (stem == u"CON" || stem == u"PRN" || stem == u"AUX" || stem == u"NUL") return true;
  if (stem.size() == 4 && (stem.compare(0, 3, u"COM") == 0 || stem.compare(0, 3, u"LPT") == 0))
    return stem[3] >= u'1' && stem[3] <= u'9';
  return false;
}

namespace {

std::string component_problem(const std::u16string& c) {
  if (c.empty()) return "has an empty component (two backslashes in a row or one at the end)";
  if (c == u"." || c == u"..") return "has a '" + utf16_to_utf8(c) + "' component";
  for (char16_t u : c) {
    if (is_refused_in_names(u) || u == u'/')
      return "holds the " + describe_unit(u) + ", which Windows refuses in names";
  }
  if (c.back() == u'.' || c.back() == u' ')
    return "has a component ending in a " + std::string(c.back() == u'.' ? "dot" : "space") +
           ", which Windows drops";
  if (is_device_name(c)) return "uses the Windows device name '" + utf16_to_utf8(c) + "'";
  return {};
}

}  // namespace

std::string name_problem(const std::u16string& name) {
  if (name.empty()) return "is empty";
  if (name.size() > kMaxNameUnits)
    return "is " + std::to_string(name.size()) + " UTF-16 units long, more than " +
           std::to_string(kMaxNameUnits);
  if (name[0] == u'\\' || name[0] == u'/') return "is absolute";
  if (name.size() >= 2 && is_ascii_letter(name[0]) && name[1] == u':') return "is drive-qualified";
  size_t start = 0;
  while (true) {
    const size_t end = name.find(u'\\', start);
    std::string problem = component_problem(name.substr(start, end - start));
    if (!problem.empty()) return problem;
    if (end == std::u16string::npos) return {};
    start = end + 1;
  }
}

NameClashes::NameClashes() : owner_name_([this](size_t owner) { return owners_[owner]; }) {}

NameClashes::NameClashes(std::function<std::string(size_t)> owner_name) : owner_name_(std::move(owner_name)) {}

std::string NameClashes::add(const std::u16string& name, const std::string& owner) {
  owners_.push_back(owner);
  std::string clash = add(name, owners_.size() - 1);
  if (!clash.empty()) owners_.pop_back();
  return clash;
}

std::string NameClashes::add(const std::u16string& name, size_t owner) {
  std::u16string folded = fold_case(name);
  if (auto it = files_.find(folded); it != files_.end())
    return "is the same name on Windows as " + owner_name_(it->second);
  if (auto it = folders_.find(folded); it != folders_.end())
    return "is needed as a folder by " + owner_name_(it->second);
  // A name in the same folder as the name added last needs no folder checks:
  // that add checked and recorded the same folders, and added nothing since
  // that could clash with them (payloads list a folder's names together).
  const size_t last = folded.rfind(u'\\');
  const bool same_folder = !last_folder_.empty() && last != std::u16string::npos &&
                           last == last_folder_.size() && folded.compare(0, last, last_folder_) == 0;
  if (!same_folder && last != std::u16string::npos) {
    for (size_t pos = folded.find(u'\\'); pos != std::u16string::npos; pos = folded.find(u'\\', pos + 1)) {
      const std::u16string folder = folded.substr(0, pos);
      if (auto it = files_.find(folder); it != files_.end())
        return "needs the file " + owner_name_(it->second) + " as a folder";
    }
    for (size_t pos = folded.find(u'\\'); pos != std::u16string::npos; pos = folded.find(u'\\', pos + 1))
      folders_.try_emplace(folded.substr(0, pos), owner);
    last_folder_.assign(folded, 0, last);
  }
  files_.emplace(std::move(folded), owner);
  return {};
}

}  // namespace tarven
