// Ctrl-C and termination during a build: instead of dying with a scratch
// folder full of payload left behind, the build stops at the next check and
// unwinds, which removes what it made.
#pragma once

namespace tarven {

constexpr int kExitInterrupted = 130;

void catch_interrupts();
// Throws a Failure (exit 130) once SIGINT, SIGTERM or SIGHUP arrived (on
// Windows: Ctrl+C, Ctrl+Break or the console window being closed).
void stop_if_interrupted();

}  // namespace tarven
