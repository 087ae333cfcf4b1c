// One io_uring per thread for the batched reads of file contents, made at the thread's
// first batch and closed with the thread. Linux only, used inside the platform folder only.
#pragma once

#include <liburing.h>

#include <cerrno>
#include <cstdint>

namespace merravine::platform {

/// Queue slots of a thread's ring; a caller never queues more before it completes.
inline constexpr unsigned kRingEntries = 64;
/// Direct descriptor slots of a thread's ring (its own file table).
inline constexpr unsigned kRingFileSlots = 16;

/// This thread's ring, or null when the system offers none (an old kernel, or one
/// that forbids it to this process); then every call is made one by one.
io_uring* ThreadRing();
/// Whether this thread's ring has its kRingFileSlots direct descriptor slots.
bool ThreadRingHasFileSlots();

/// Submits what is queued and takes `count` completions, handing each result to `take`
/// with its user data. False when the ring failed (then nothing it did is trusted).
template <typename Take>
bool CompleteQueued(io_uring* ring, unsigned count, Take&& take) {
    if (count == 0) return true;
    int rc = 0;
    while ((rc = io_uring_submit_and_wait(ring, count)) == -EINTR) {
    }
    if (rc < 0) return false;
    for (unsigned taken = 0; taken < count; ++taken) {
        io_uring_cqe* cqe = nullptr;
        while ((rc = io_uring_wait_cqe(ring, &cqe)) == -EINTR) {
        }
        if (rc < 0) return false;
        take(io_uring_cqe_get_data64(cqe), cqe->res);
        io_uring_cqe_seen(ring, cqe);
    }
    return true;
}

}  // namespace merravine::platform
