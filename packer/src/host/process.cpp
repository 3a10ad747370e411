// POSIX process running and program lookup; see process.h.
#include "host/process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/errors.h"
#include "host/file_io.h"

namespace fs = std::filesystem;

namespace tarven {

int run_process(const std::vector<std::string>& argv, const fs::path& cwd, const fs::path& log_file) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int log = ::open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) throw failure(display_path(log_file) + ": cannot create: " + std::strerror(errno));
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(log);
    throw failure(std::string("cannot start ") + argv[0] + ": " + std::strerror(errno));
  }
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    ::dup2(log, 1);
    ::dup2(log, 2);
    if (::chdir(cwd.c_str()) != 0) _exit(127);
    ::execvp(args[0], args.data());
    const char* why = std::strerror(errno);
    const ssize_t ignored = ::write(2, why, std::strlen(why));
    (void)ignored;
    _exit(127);
  }
  ::close(log);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw failure(std::string("cannot wait for ") + argv[0]);
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::optional<fs::path> find_program(const std::string& program) {
  auto usable = [](const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0;
  };
  if (program.find('/') != std::string::npos) {
    if (usable(program)) return fs::path(program);
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = dirs.substr(start, end - start);
    const fs::path candidate = fs::path(dir.empty() ? "." : dir) / program;
    if (usable(candidate)) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

fs::path own_executable(const char* argv0) {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) return self;
  if (auto found = find_program(argv0)) return fs::absolute(*found, ec);
  return fs::path(argv0);
}

bool stderr_is_terminal() { return ::isatty(2) != 0; }

}  // namespace tarven
