// Interrupt flag and what sets it: signals on Linux, console events on
// Windows; see interrupt.h.
#include "host/interrupt.h"

#include <atomic>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

#include "host/errors.h"

namespace tarven {
namespace {

// Set from a signal handler on Linux and from the console's own thread on
// Windows: lock-free, so safe in both.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the interrupt flag must be safe in a signal handler");

#ifdef _WIN32

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      interrupted = true;
      return TRUE;
    case CTRL_CLOSE_EVENT:
      // Windows ends the process as soon as this returns: wait here so the
      // build can unwind and remove its scratch folder first (exiting ends
      // this thread, and Windows gives up on waiting after a few seconds).
      interrupted = true;
      Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

#else

extern "C" void on_signal(int) { interrupted = true; }

#endif

}  // namespace

void catch_interrupts() {
#ifdef _WIN32
  SetConsoleCtrlHandler(on_console_event, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // reads and writes carry on; the loops check the flag
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
#endif
}

void stop_if_interrupted() {
  if (interrupted) throw Failure(kExitInterrupted, "interrupted; nothing was written");
}

}  // namespace tarven
