// Checks the target folder template before it is baked into an executable:
// the launcher expands it, unpacks there, and at the end deletes that folder
// recursively, so a template that could expand to a shared or system folder
// is refused.
#pragma once

#include <string>
#include <vector>

namespace tarven {

extern const char* const kDefaultTargetTemplate;

// Throws a user error (exit 2) explaining the first problem; returns warnings
// (one line each) for templates that are legal but risky.
std::vector<std::string> check_target_template(const std::string& text);

}  // namespace tarven
