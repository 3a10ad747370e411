// The closing threads and the bounded queue of written files between the
// entry loop and them (see closing.h). One lock guards the queue, the
// failure and the threads' count; the threads end with the loop.
#include "unpack/closing.h"

namespace {

struct Pending {
    HANDLE file;
    uint64_t entry;
};

SRWLOCK lock = SRWLOCK_INIT;
CONDITION_VARIABLE work_waits = CONDITION_VARIABLE_INIT;  // the threads wait here for a file
CONDITION_VARIABLE loop_waits = CONDITION_VARIABLE_INIT;  // the loop waits here for room, or for the end
// Guarded by `lock`.
Pending queue[kPendingCloses];
unsigned queue_head, queued;
unsigned closing_now;  // taken from the queue, not yet closed
unsigned threads;
bool retiring;  // the loop has ended: threads that find nothing to close end
bool loop_waiting;
CloseFailure first_failure;
bool (*finish_file)(HANDLE);  // set for a loop, before its threads start
// The loop's own: whether it tried to start the threads, and the files it closed itself.
bool threads_tried, no_more_threads;
unsigned closed_here;
volatile bool any_failure;

// Keeps the failure of the earliest entry; called with the lock held.
void note_failure(uint64_t entry, DWORD error) {
    if (!first_failure.failed || entry < first_failure.entry) first_failure = {true, entry, error};
    __atomic_store_n(&any_failure, true, __ATOMIC_RELEASE);
}

// The system gives a failed close a reason; 0 would read as success.
DWORD close_error() {
    DWORD error = sys.GetLastError();
    return error != 0 ? error : static_cast<DWORD>(ERROR_WRITE_FAULT);
}

// Finishes and closes a file; 0, or the reason it failed. A file whose
// finish failed is closed all the same, and the finish's reason is its own.
DWORD finish_and_close(HANDLE file) {
    DWORD error = 0;
    if (finish_file != nullptr && !finish_file(file)) error = close_error();
    if (!sys.CloseHandle(file) && error == 0) error = close_error();
    return error;
}

DWORD WINAPI close_files(void *) {
    AcquireSRWLockExclusive(&lock);
    for (;;) {
        while (queued == 0 && !retiring) SleepConditionVariableSRW(&work_waits, &lock, INFINITE, 0);
        if (queued == 0) break;
        Pending next = queue[queue_head];
        queue_head = (queue_head + 1) % kPendingCloses;
        --queued;
        ++closing_now;
        bool wake_loop = loop_waiting;
        ReleaseSRWLockExclusive(&lock);
        if (wake_loop) WakeConditionVariable(&loop_waits);
        DWORD error = finish_and_close(next.file);
        AcquireSRWLockExclusive(&lock);
        --closing_now;
        if (error != 0) note_failure(next.entry, error);
        if (loop_waiting) WakeConditionVariable(&loop_waits);
    }
    --threads;
    bool wake_loop = loop_waiting;
    ReleaseSRWLockExclusive(&lock);
    if (wake_loop) WakeConditionVariable(&loop_waits);
    return 0;
}

// Starts one more thread. One that cannot be made leaves its share to the
// others, and no more are asked for; without any the loop closes every file
// itself.
void add_thread() {
    HANDLE thread = start_worker_thread(close_files, nullptr);
    if (thread == nullptr) {
        no_more_threads = true;
        return;
    }
    sys.CloseHandle(thread);
    AcquireSRWLockExclusive(&lock);
    ++threads;
    ReleaseSRWLockExclusive(&lock);
}

}  // namespace

void begin_closes(bool (*finish)(HANDLE file)) {
    // A loop that ended early (a test's abort) may have left closes running.
    end_closes();
    finish_file = finish;
    AcquireSRWLockExclusive(&lock);
    first_failure = {false, 0, 0};
    __atomic_store_n(&any_failure, false, __ATOMIC_RELEASE);
    retiring = false;
    ReleaseSRWLockExclusive(&lock);
    closed_here = 0;
    threads_tried = no_more_threads = false;
}

void close_written_file(HANDLE file, uint64_t entry) {
    if (!threads_tried && closed_here >= kClosesBeforeThreads) {
        threads_tried = true;
        add_thread();
    }
    if (threads == 0) {
        ++closed_here;
        if (DWORD error = finish_and_close(file)) {
            AcquireSRWLockExclusive(&lock);
            note_failure(entry, error);
            ReleaseSRWLockExclusive(&lock);
        }
        return;
    }
    AcquireSRWLockExclusive(&lock);
    while (queued == kPendingCloses) {
        loop_waiting = true;
        SleepConditionVariableSRW(&loop_waits, &lock, INFINITE, 0);
    }
    loop_waiting = false;
    queue[(queue_head + queued) % kPendingCloses] = {file, entry};
    ++queued;
    // Closes that fall behind the loop (a scanner at work) get another
    // thread; where closes are quick, one or two keep up, and each thread
    // the system commits memory for stays unasked.
    bool behind = queued > kPendingCloses / 4 && threads < kClosingThreads && !no_more_threads;
    ReleaseSRWLockExclusive(&lock);
    WakeConditionVariable(&work_waits);
    if (behind) add_thread();
}

bool some_close_failed() { return __atomic_load_n(&any_failure, __ATOMIC_ACQUIRE); }

CloseFailure finish_closes() {
    AcquireSRWLockExclusive(&lock);
    while (queued > 0 || closing_now > 0) {
        loop_waiting = true;
        SleepConditionVariableSRW(&loop_waits, &lock, INFINITE, 0);
    }
    loop_waiting = false;
    CloseFailure failure = first_failure;
    ReleaseSRWLockExclusive(&lock);
    return failure;
}

CloseFailure end_closes() {
    CloseFailure failure = finish_closes();
    AcquireSRWLockExclusive(&lock);
    retiring = true;
    ReleaseSRWLockExclusive(&lock);
    WakeAllConditionVariable(&work_waits);
    AcquireSRWLockExclusive(&lock);
    while (threads > 0) {
        loop_waiting = true;
        SleepConditionVariableSRW(&loop_waits, &lock, INFINITE, 0);
    }
    loop_waiting = false;
    ReleaseSRWLockExclusive(&lock);
    return failure;
}

unsigned closing_threads() {
    AcquireSRWLockExclusive(&lock);
    unsigned running = threads;
    ReleaseSRWLockExclusive(&lock);
    return running;
}
