// Checks the target folder template before it is baked into an executable:
// the launcher expands it, unpacks there, and at the end deletes that folder
// recursively, so a template that could expand to a shared or system folder
// is refused.
#pragma once

#include <string>
#include <vector>

namespace tarven {

extern const char* const kDefaultTargetTemplate;

// The template used when none is given: for the cached mode (`cached`) a folder
// per product and payload id under the local application data folder, with
// the company's folder above when there is a company.
std::string default_target_template(bool cached, const std::u16string& company);

// Throws a user error (exit 2) explaining the first problem; returns warnings
// (one line each) for templates that are legal but risky. With `cached` (the
// cached mode) the folder must be `...\<holding {PRODUCT}>\{PAYLOAD_ID}`
// and hold nothing that changes from run to run.
std::vector<std::string> check_target_template(const std::string& text, bool cached = false);

// The company and product texts the launcher substitutes for {COMPANY} and
// {PRODUCT}: where the template uses them they must not add folder levels or
// turn a component into "", "." or "..". Throws a user error (exit 2).
void check_template_texts(const std::string& text, const std::u16string& company,
                          const std::u16string& product);

}  // namespace tarven
