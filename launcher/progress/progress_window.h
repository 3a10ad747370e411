// The progress window of an executable packed with --progress-window: shown
// by a thread of its own when unpacking takes long, closed when the
// application starts; closing it cancels the run.
#pragma once

#include <windows.h>

// How long unpacking runs before the window shows, and how long at most it
// waits after unpacking for the application's first window.
constexpr DWORD kProgressShowAfterMs = 500;
constexpr DWORD kProgressLingerMs = 5000;

// Called as unpacking begins: starts the window's thread when the executable
// was packed with the window (nothing at all otherwise). The thread loads
// the window's libraries only once the window is due.
void begin_unpacking_progress();

// Called once unpacking has ended, before anything starts: false when the
// user closed the window first, so the run is cancelled. From then on,
// closing the window only closes it.
bool progress_allows_start();

// True once the user closed the window while unpacking: the run is cancelled
// (and not stopped for another reason, such as a console event).
bool progress_cancelled();

// The application runs in process `process_id` (this one in the cached
// mode): it may take the foreground, and the window closes once it shows a
// window of its own (a GUI program, at most kProgressLingerMs later) or at
// once (a console program).
void progress_follow_application(DWORD process_id);

// The window's class, for those who look for it (the tests).
#define TARVEN_PROGRESS_CLASS L"TarvenProgressWindow"

// Tests: the window's thread with the given delay and texts; true when the
// thread started. `total` 0 shows a bar without a known end.
bool start_progress_window(DWORD show_after_ms, const wchar_t *product, unsigned long long total);
// Tests: waits until the window's thread has ended, then forgets it.
void reset_progress_window();
