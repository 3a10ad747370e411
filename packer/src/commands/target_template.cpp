// Target template parsing and safety rules; see target_template.h.
#include "commands/target_template.h"

#include <algorithm>

#include "host/errors.h"
#include "pack/names.h"
#include "host/utf.h"

namespace tarven {

const char* const kDefaultTargetTemplate = "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";

namespace {

const char* const kKnownVariables[] = {"TEMP",   "PROGRAM",  "PROGRAM_BASE", "PROGRAM_DIR",
                                       "PID",    "HOME",     "CACHE_DIR",    "COMPANY",
                                       "PRODUCT", "VERSION", "FILE_VERSION", "PRODUCT_VERSION",
                                       "RANDOM", "TIME_US",  "TIME",         "PAYLOAD_ID"};
const char* const kRootFolders[] = {"TEMP", "HOME", "CACHE_DIR"};
// The program as it was started: a bare name from a shell, a relative or a
// full path in the launcher, always the full module path in its child. A
// template holding one of these names a different folder in each of the two.
const char* const kStartedAsVariables[] = {"PROGRAM", "PROGRAM_BASE", "PROGRAM_DIR"};
// Characters that Windows refuses in a name; a colon past the start would
// also read as a second drive.
const char* const kRefusedInNames = "<>:\"|?*";
const char* const kUniqueVariables[] = {"PID", "RANDOM", "TIME_US", "TIME"};

template <size_t N>
bool is_one_of(const std::string& name, const char* const (&list)[N]) {
  return std::find(std::begin(list), std::end(list), name) != std::end(list);
}

std::string upper_ascii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

// One path component of the template: its literal text (variables replaced
// by "{NAME}" with NAME upper-cased) and the variables it holds.
struct Component {
  std::string text;
  std::vector<std::string> variables;
};

Failure refuse(const std::string& text, const std::string& why) {
  return user_error("target template '" + text + "': " + why);
}

std::vector<Component> parse(const std::string& text) {
  std::vector<Component> parts(1);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '}') throw refuse(text, "a '}' at position " + std::to_string(i + 1) + " has no '{'");
    if (c == '{') {
      const size_t close = text.find_first_of("{}", i + 1);
      if (close == std::string::npos || text[close] == '{')
        throw refuse(text, "the '{' at position " + std::to_string(i + 1) + " is not closed");
      const std::string name = upper_ascii(text.substr(i + 1, close - i - 1));
      if (name.empty()) throw refuse(text, "'{}' names no variable");
      if (!is_one_of(name, kKnownVariables))
        throw refuse(text, "the launcher knows no variable {" + text.substr(i + 1, close - i - 1) + "}");
      parts.back().text += "{" + name + "}";
      parts.back().variables.push_back(name);
      i = close;
    } else if (is_separator(c)) {
      parts.emplace_back();
    } else {
      parts.back().text += c;
    }
  }
  return parts;
}

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// How many leading components form the root the target folder goes under.
size_t root_components(const std::string& text, const std::vector<Component>& parts) {
  const Component& first = parts[0];
  if (first.variables.size() == 1 && first.text == "{" + first.variables[0] + "}" &&
      is_one_of(first.variables[0], kRootFolders))
    return 1;
  if (first.text.size() == 2 && is_ascii_letter(first.text[0]) && first.text[1] == ':' &&
      parts.size() > 1)
    return 1;
  if (text.size() > 2 && is_separator(text[0]) && is_separator(text[1]) && parts.size() >= 4 &&
      !parts[2].text.empty() && !parts[3].text.empty())
    return 4;  // "", "", server, share
  throw refuse(text,
               "it must start with {TEMP}, {HOME} or {CACHE_DIR} followed by a "
               "backslash, or with an absolute path (X:\\ or \\\\server\\share)");
}

}  // namespace

void check_template_texts(const std::string& text, const std::u16string& company,
                          const std::u16string& product) {
  const struct {
    const char* variable;
    const char* option;
    const std::u16string& value;
  } texts[] = {{"COMPANY", "--company", company}, {"PRODUCT", "--product", product}};
  for (const Component& c : parse(text)) {
    for (const std::string& v : c.variables) {
      for (const auto& t : texts) {
        if (v != t.variable) continue;
        const std::string shown = std::string(t.option) + " '" + utf16_to_utf8(t.value) + "'";
        if (t.value.find_first_of(u"\\/") != std::u16string::npos)
          throw user_error(shown + ": holds a folder separator, and the target template uses {" + v + "}");
        if (utf16_to_utf8(t.value).find_first_of(kRefusedInNames) != std::string::npos)
          throw user_error(shown + ": holds a character Windows refuses in names, and the target "
                           "template uses {" + v + "}");
        const bool whole = c.text == "{" + v + "}";
        if (whole && (t.value.empty() || t.value == u"." || t.value == u".."))
          throw user_error(shown + ": the target template's component {" + v +
                           "} would become '" + utf16_to_utf8(t.value) + "'");
      }
    }
  }
}

std::string default_target_template(bool cached, const std::u16string& company) {
  if (!cached) return kDefaultTargetTemplate;
  return company.empty() ? "{CACHE_DIR}\\{PRODUCT}\\{PAYLOAD_ID}" : "{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\{PAYLOAD_ID}";
}

std::vector<std::string> check_target_template(const std::string& text, bool cached) {
  if (!utf8_to_utf16(text)) throw refuse(text, "is not valid UTF-8");
  const std::vector<Component> parts = parse(text);
  for (const Component& c : parts)
    for (const std::string& v : c.variables)
      if (is_one_of(v, kStartedAsVariables))
        throw refuse(text, "{" + v + "} is the program as it was started, which the launcher and its "
                           "child see differently (a bare name, a full path): they would look for the "
                           "application in two folders");
  const size_t root = root_components(text, parts);
  const Component& last = parts.back();
  if (last.variables.size() == 1 && last.text == "{" + last.variables[0] + "}" &&
      is_one_of(last.variables[0], kRootFolders))
    throw refuse(text, "its last component is only {" + last.variables[0] +
                           "}, an existing folder that the launcher would delete at exit");
  if (parts.size() == root)
    throw refuse(text, "it names only a root folder, which the launcher would delete at exit");
  if (last.text.empty())
    throw refuse(text, "its last component is empty, so the launcher would delete a whole "
                       "existing folder at exit");
  for (size_t i = root; i < parts.size(); ++i) {
    const std::string& c = parts[i].text;
    if (c == "." || c == "..")
      throw refuse(text, "it holds a '" + c + "' component, which leads out of the target folder");
    if (c.empty()) throw refuse(text, "it holds an empty component");
    if (c.find_first_of(kRefusedInNames) != std::string::npos)
      throw refuse(text, "its component '" + c + "' holds a character Windows refuses in names");
    if (c.back() == '.' || c.back() == ' ')
      throw refuse(text, "its component '" + c + "' ends in a " + (c.back() == '.' ? "dot" : "space") +
                             ", which Windows drops");
    if (is_device_name(*utf8_to_utf16(c)))
      throw refuse(text, "its component '" + c + "' is the Windows device name " +
                             c.substr(0, c.find('.')) + ", which no folder can have");
  }
  std::vector<std::string> warnings;
  bool unique = false;
  for (const Component& c : parts)
    for (const std::string& v : c.variables) unique = unique || is_one_of(v, kUniqueVariables);
  if (cached) {
    // Later starts must find the folder again, and the launcher removes other
    // ids' folders beside it: the folder is the product's, named by the id.
    if (last.text != "{PAYLOAD_ID}")
      throw refuse(text, "with --cache its last component must be {PAYLOAD_ID}, the folder a payload is unpacked to once");
    if (unique)
      throw refuse(text, "with --cache it may hold none of {PID}, {RANDOM}, {TIME_US}, {TIME}: later starts "
                         "would not find the folder again");
    if (parts.size() - root < 2 || parts[parts.size() - 2].text.find("{PRODUCT}") == std::string::npos)
      throw refuse(text, "with --cache the folder above {PAYLOAD_ID} must hold {PRODUCT}: the launcher "
                         "removes other versions' folders there");
    return warnings;
  }
  if (!unique)
    warnings.push_back("warning: target template '" + text +
                       "' holds none of {PID}, {RANDOM}, {TIME_US}, {TIME}: two runs at once would "
                       "share the folder, and the first to end would delete it under the other");
  return warnings;
}

}  // namespace tarven
