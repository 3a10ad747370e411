// Closing the entry loop's written files on a few threads beside it.
//
// On Windows a file's close is where a real-time scanner inspects what was
// written, and the closing thread waits for it: closes handed to other
// threads let the loop go on decoding and writing meanwhile. The entry loop
// alone hands files over and waits for them; the threads only close.
#pragma once

#include <stdint.h>

#include "system/syscalls.h"

// Threads that close, at most; they wait on a scanner, not on a processor,
// so there may be more of them than processors. The loop starts one, and
// another each time it finds more than a quarter of the queue's room taken
// (closes falling behind). Measured with the benchmark's
// simulated scanner (1 ms per close) on two processors, against one thread
// writing and closing: 2 threads 0.49x for 20,000 small files, 4 0.32x,
// 8 0.18x (2,000 files of 100 MiB: 0.57x, 0.30x, 0.26x).
constexpr unsigned kClosingThreads = 8;
// Written files waiting for their close at most, beyond those being closed:
// the handles the loop keeps open at once stay bounded whatever the payload.
constexpr unsigned kPendingCloses = 64;
// Files the loop closes itself before it starts the threads: a payload of a
// few files is done before a thread would have started (about a millisecond
// each under Wine).
constexpr unsigned kClosesBeforeThreads = 16;

// A close that failed: the entry's place in the payload (counted from 0) and
// the system's reason. `failed` false: every close so far succeeded.
struct CloseFailure {
    bool failed;
    uint64_t entry;
    DWORD error;
};

// Starts a loop's closes: nothing is pending and no close has failed.
// `finish`, when not null, is done to each file before its close, by the
// same thread; its failure (the system's last error) is the file's.
void begin_closes(bool (*finish)(HANDLE file));

// Closes the written file of entry number `entry`, now or on a thread; waits
// while the pending closes are at their bound.
void close_written_file(HANDLE file, uint64_t entry);

// True once a close has failed (any thread may have closed it).
bool some_close_failed();

// Waits until every file handed over is closed; gives the failure of the
// earliest entry in payload order, if any failed.
CloseFailure finish_closes();

// The same, then the threads end (an application in the same process, the
// cached mode's, finds none of them).
CloseFailure end_closes();

// Threads running now (tests).
unsigned closing_threads();
