// File helpers for tests that run under Wine or Windows: test data lives in
// the build folder, reached through the drive that maps the host's root.
#pragma once

#include <string>

// Reads a whole file; fails the calling test when it cannot.
std::string read_file(const std::string &path);

// A path below the build's test-data folder.
std::string test_data(const std::string &name);

// Wide form of a narrow path.
std::wstring widen(const std::string &text);
