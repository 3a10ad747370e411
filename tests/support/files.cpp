// File helpers (see files.h).
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string test_data(const std::string &name) { return std::string("Z:") + TARVEN_TEST_DATA + "/" + name; }

std::wstring widen(const std::string &text) {
    std::wstring wide;
    for (unsigned char c : text) wide += static_cast<wchar_t>(c == '/' ? '\\' : c);
    return wide;
}
