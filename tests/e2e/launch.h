// Starting packed executables from the tests the way a user's shell would,
// and reading what they leave behind.
#pragma once

#include <map>
#include <string>
#include <vector>

struct Finished {
    unsigned long exit_code = 0;
    unsigned long process_id = 0;
    std::string standard_output;
    std::string standard_error;
};

// Runs `command_line` (the program quoted as the first word) with the current
// environment changed by `environment` (an empty value removes a variable),
// capturing both streams; waits at most `timeout_ms`, then fails the test.
Finished run_program(const std::wstring &program, const std::wstring &command_line,
                const std::map<std::wstring, std::wstring> &environment = {}, unsigned timeout_ms = 60000,
                const std::wstring &current_directory = L"");

// The current environment changed by `changes` (an empty value removes a
// variable), as a block for CreateProcessW with CREATE_UNICODE_ENVIRONMENT.
std::wstring environment_block(const std::map<std::wstring, std::wstring> &changes);

// "key=value" lines of a probe report.
std::map<std::string, std::string> read_report(const std::wstring &path);

// All files below `folder`, relative, with their contents.
std::map<std::wstring, std::string> read_tree(const std::wstring &folder);

// Names directly inside `folder`.
std::vector<std::wstring> list_folder(const std::wstring &folder);

// A fresh empty folder for one test below the tests' scratch folder.
std::wstring scratch_folder(const std::wstring &name);

// The packed executable built for the tests.
std::wstring packed(const std::wstring &name);

std::string narrow(const std::wstring &text);
