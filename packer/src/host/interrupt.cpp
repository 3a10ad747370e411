// Interrupt flag and its signal handlers; see interrupt.h.
#include "host/interrupt.h"

#include <csignal>

#include "host/errors.h"

namespace tarven {
namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void on_signal(int) { interrupted = 1; }

}  // namespace

void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // reads and writes carry on; the loops check the flag
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
}

void stop_if_interrupted() {
  if (interrupted) throw Failure(kExitInterrupted, "interrupted; nothing was written");
}

}  // namespace tarven
