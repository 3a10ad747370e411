// The rules a payload name must follow so that the launcher can create it on
// Windows, shared by `build` (before packing) and `verify`/`extract` (after).
#pragma once

#include <cstddef>

#include "contract/contract.h"
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tarven {

constexpr size_t kMaxNameUnits = kEntryNameMaxUnits;

// Empty when `name` (backslash-separated UTF-16) is acceptable on its own,
// else why not, as a short phrase.
std::string name_problem(const std::u16string& name);

// True for a UTF-16 unit that Windows refuses anywhere in a file name: a
// control character or one of < > : " | ? * (separators aside).
bool is_refused_in_names(char16_t u);

// True for a name component that Windows maps to a device in every folder
// (CON, PRN, AUX, NUL, COM1-9, LPT1-9), with or without an extension.
bool is_device_name(const std::u16string& component);

// Names that Windows would see as one file, or a file that another name needs
// as a folder, across a set of names.
class NameClashes {
 public:
  // Owners given by their text.
  NameClashes();
  // Owners given by number, `owner_name` making the text of the one a phrase
  // names (a payload of many names then makes one text, not one per name).
  explicit NameClashes(std::function<std::string(size_t)> owner_name);
  NameClashes(const NameClashes&) = delete;  // the first constructor's names refer to this one
  NameClashes& operator=(const NameClashes&) = delete;

  // Empty when `name` fits with the names added so far (it is then added),
  // else the phrase saying which earlier `owner` it clashes with.
  std::string add(const std::u16string& name, size_t owner);
  std::string add(const std::u16string& name, const std::string& owner);

 private:
  std::function<std::string(size_t)> owner_name_;
  std::vector<std::string> owners_;  // the owners given by their text
  std::unordered_map<std::u16string, size_t> files_;    // folded name -> owner
  std::unordered_map<std::u16string, size_t> folders_;  // folded folder -> first owner
  std::u16string last_folder_;  // the folded folder of the last name added, if it had one
};

}  // namespace tarven
