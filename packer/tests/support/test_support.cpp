// Test helpers; see test_support.h.
#include "test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace tarven_test {

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "tarven-pack-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void write_file(const fs::path& path, const std::string& bytes) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string sample_bytes(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  // Words from a small alphabet: compressible, but not trivially.
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>("abcdefgh \n\0\xff"[rng() % 12]);
  return s;
}

RunResult run_packer(const std::vector<std::string>& args, const Environment& env) {
  return run_packer_at(TARVEN_PACK_EXE, args, env);
}

RunResult run_packer_at(const fs::path& exe, const std::vector<std::string>& args, const Environment& env) {
  ScratchDir capture;
  const fs::path out_file = capture / "out", err_file = capture / "err";
  std::vector<std::string> argv{exe.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargs;
  for (std::string& a : argv) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(err, 2);
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    ::execv(cargs[0], cargs.data());
    _exit(126);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  RunResult r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = read_file(out_file);
  r.err = read_file(err_file);
  return r;
}

RunResult build_exe(const fs::path& out, const std::vector<std::string>& args) {
  std::vector<std::string> all{"build", "-o", out.string()};
  all.insert(all.end(), args.begin(), args.end());
  return run_packer(all);
}

bool have_mingw() { return TARVEN_TEST_HAVE_MINGW != 0; }
fs::path test_dll(const std::string& name) { return fs::path(TARVEN_TEST_DLLS) / name; }

size_t line_count(const std::string& text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

}  // namespace tarven_test
