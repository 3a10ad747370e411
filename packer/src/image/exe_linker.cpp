// Assembling, resource compiling and linking; see exe_linker.h.
#include "image/exe_linker.h"

#include <sstream>

#include "image/asm_source.h"
#include "host/errors.h"
#include "host/file_io.h"
#include "host/interrupt.h"
#include "host/process.h"

namespace fs = std::filesystem;

namespace tarven {
namespace {

// The most telling line of a tool's log: the first error or undefined
// reference (the linker driver's closing "collect2: error" says nothing),
// else the last non-empty line.
std::string first_error(const fs::path& log) {
  std::istringstream lines(read_text_file(log));
  std::string line, last;
  while (std::getline(lines, line)) {
    const bool telling = line.find("error") != std::string::npos ||
                         line.find("undefined reference") != std::string::npos;
    if (telling && line.rfind("collect2:", 0) != 0) return line;
    if (!line.empty()) last = line;
  }
  return last.empty() ? "no output" : last;
}

void run_step(const std::vector<std::string>& argv, const fs::path& work, const std::string& what) {
  const fs::path log = work / kToolchainLogName;
  write_text_file(log, "");
  const int rc = run_process(argv, work, log);
  stop_if_interrupted();  // the tool got the same signal: its failure is not the news
  if (rc == 0) return;
  throw failure(what + ": " + fs::path(argv[0]).filename().string() +
                (rc == 127 ? " could not run" : " failed with exit code " + std::to_string(rc)) +
                ": " + first_error(log));
}

void copy_into(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  if (ec) throw user_error(display_path(from) + ": cannot copy: " + ec.message());
}

}  // namespace

fs::path link_executable(const LinkJob& job, const Toolchain& tools, const Kit& kit) {
  const fs::path& work = job.work_dir;
  write_text_file(work / "payload.S", make_asm_source(job.payload_size, kPayloadFileName, job.texts));
  copy_into(kit.manifest, work / "app.manifest");
  copy_into(job.icon, work / "icon.ico");
  write_text_file(work / "resources.rc", make_rc_source("app.manifest", "icon.ico", job.version));

  const std::string gcc = tools.gcc.string();
  run_step({gcc, "-c", "payload.S", "-o", "payload.o"}, work, "assembling the payload");
  run_step({tools.windres.string(), "--preprocessor=" + gcc, "--preprocessor-arg=-E",
            "--preprocessor-arg=-xc-header", "--preprocessor-arg=-DRC_INVOKED", "-i",
            "resources.rc", "-o", "resources.o"},
           work, "compiling the resources");
  const fs::path lib_dir = fs::absolute(kit.lib_dir);
  // -u wWinMain or wmain: the entry point lives in the kit's archive, which the linker
  // only searches for symbols something already asked for.
  // The subsystem decides which entry point the runtime calls: wWinMain for
  // a GUI program, wmain for a console one; both live in the kit.
  const char* subsystem = job.console ? "-mconsole" : "-mwindows";
  const char* entry = job.console ? "-Wl,-u,wmain" : "-Wl,-u,wWinMain";
  run_step({gcc, "-municode", subsystem, "-static", "-s", "-Wl,--no-insert-timestamp",
            "-Wl,--gc-sections", entry, "-o", job.output_name, "payload.o",
            "resources.o", "-L" + lib_dir.string(), "-ltarven_launcher", "-lzstd", "-lshell32",
            "-lshlwapi", "-lole32", "-luuid", "-lkernel32", "-luser32", "-ladvapi32"},
           work, "linking " + job.output_name);
  return work / job.output_name;
}

}  // namespace tarven
