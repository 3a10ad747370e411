// The content checksum's hash beside the decoding: a ring of windows between
// the reader and one hashing thread. One lock guards the counts and the flags.
#include "payload/frame_check.h"

#include "payload/content_hash.h"
#include "payload/reader.h"
#include "system/syscalls.h"

namespace {

// Windows in the ring: the reader fills one while the thread hashes up to
// three filled before it.
constexpr unsigned kRing = 4;
// About 1 MiB decoded on the reader's own thread first: a payload that small
// hashes in less time than a thread takes to start.
constexpr uint64_t kPiecesBeforeThread = 8;

SRWLOCK lock = SRWLOCK_INIT;
CONDITION_VARIABLE work_waits = CONDITION_VARIABLE_INIT;    // the thread waits here for a piece
CONDITION_VARIABLE reader_waits = CONDITION_VARIABLE_INIT;  // the reader waits here for a window, or the end
// Guarded by `lock` once the thread runs.
DecodedPiece ring[kRing];
uint64_t handed, hashed;
bool thread_running, retiring, reader_waiting, mismatch;
// The reader's own.
unsigned char *windows[kRing];
unsigned char *added_windows;  // windows 1 to kRing - 1, one block
bool thread_tried;
ContentHash hash;

void hash_piece(const DecodedPiece &piece) {
    if (piece.frame_starts) content_hash_reset(&hash);
    if (!piece.frame_checked) return;
    content_hash_update(&hash, piece.bytes, piece.size);
    if (piece.frame_ends && static_cast<uint32_t>(content_hash_digest(&hash)) != piece.stored) mismatch = true;
}

DWORD WINAPI hash_pieces(void *) {
    AcquireSRWLockExclusive(&lock);
    for (;;) {
        while (hashed == handed && !retiring) SleepConditionVariableSRW(&work_waits, &lock, INFINITE, 0);
        if (retiring) break;
        DecodedPiece piece = ring[hashed % kRing];
        ReleaseSRWLockExclusive(&lock);
        // `mismatch` is read only once `hashed` has passed this piece, under the lock.
        hash_piece(piece);
        AcquireSRWLockExclusive(&lock);
        ++hashed;
        if (reader_waiting) WakeConditionVariable(&reader_waits);
    }
    thread_running = false;
    bool wake_reader = reader_waiting;
    ReleaseSRWLockExclusive(&lock);
    if (wake_reader) WakeConditionVariable(&reader_waits);
    return 0;
}

// Gives the hash its thread and the ring its windows; without either the
// reader goes on hashing itself.
void start_thread() {
    thread_tried = true;
    added_windows = static_cast<unsigned char *>(sys.malloc((kRing - 1) * kPayloadWindowSize));
    if (added_windows == nullptr) return;
    for (unsigned i = 1; i < kRing; ++i) windows[i] = added_windows + (i - 1) * kPayloadWindowSize;
    AcquireSRWLockExclusive(&lock);
    retiring = false;
    thread_running = true;
    ReleaseSRWLockExclusive(&lock);
    HANDLE thread =
        sys.CreateThread(nullptr, 64 * 1024, hash_pieces, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread != nullptr) {
        sys.CloseHandle(thread);
        return;
    }
    thread_running = false;
    sys.free(added_windows);
    added_windows = nullptr;
}

// Waits, with the lock held, until the thread has hashed all but `behind` pieces.
void wait_for_hash(uint64_t behind) {
    while (thread_running && handed - hashed > behind) {
        reader_waiting = true;
        SleepConditionVariableSRW(&reader_waits, &lock, INFINITE, 0);
    }
    reader_waiting = false;
}

}  // namespace

void begin_frame_checks(unsigned char *first_window) {
    end_frame_checks();
    windows[0] = first_window;
    handed = hashed = 0;
    mismatch = false;
    thread_tried = false;
}

unsigned char *next_decoding_window() {
    if (!thread_tried && handed >= kPiecesBeforeThread) start_thread();
    if (!thread_running) return windows[0];
    AcquireSRWLockExclusive(&lock);
    // The window's last piece, kRing pieces back, has to be hashed.
    wait_for_hash(kRing - 1);
    unsigned char *window = windows[handed % kRing];
    ReleaseSRWLockExclusive(&lock);
    return window;
}

void check_decoded_piece(const DecodedPiece &piece) {
    if (!thread_running) {
        hash_piece(piece);
        ++handed;
        ++hashed;
        return;
    }
    AcquireSRWLockExclusive(&lock);
    ring[handed % kRing] = piece;
    ++handed;
    ReleaseSRWLockExclusive(&lock);
    WakeConditionVariable(&work_waits);
}

bool frame_checks_hold() {
    AcquireSRWLockExclusive(&lock);
    wait_for_hash(0);
    bool holds = !mismatch;
    ReleaseSRWLockExclusive(&lock);
    return holds;
}

void end_frame_checks() {
    if (added_windows == nullptr) return;
    AcquireSRWLockExclusive(&lock);
    retiring = true;
    ReleaseSRWLockExclusive(&lock);
    WakeAllConditionVariable(&work_waits);
    AcquireSRWLockExclusive(&lock);
    while (thread_running) {
        reader_waiting = true;
        SleepConditionVariableSRW(&reader_waits, &lock, INFINITE, 0);
    }
    reader_waiting = false;
    ReleaseSRWLockExclusive(&lock);
    sys.free(added_windows);
    added_windows = nullptr;
}
