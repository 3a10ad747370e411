// Failures that end a command: each carries the one line the user sees and
// the exit code (2 for a user's mistake, 1 for a damaged file or a tool that broke).
#pragma once

#include <stdexcept>
#include <string>

namespace tarven {

enum ExitCode : int { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

class Failure : public std::runtime_error {
 public:
  Failure(int exit_code, const std::string& line) : std::runtime_error(line), exit_code_(exit_code) {}
  int exit_code() const { return exit_code_; }

 private:
  int exit_code_;
};

// The user asked for something impossible: bad option, bad input file, bad name.
inline Failure user_error(const std::string& line) { return Failure(kExitUsage, line); }
// Something outside the user's command went wrong: damaged data, I/O, a tool failed.
inline Failure failure(const std::string& line) { return Failure(kExitFailure, line); }

}  // namespace tarven
