#include "platform/linux/uring.h"

#if defined(__SANITIZE_THREAD__)
#define MERRAVINE_NO_RING 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MERRAVINE_NO_RING 1
#endif
#endif

namespace merravine::platform {
namespace {

// ThreadSanitizer follows descriptors through the calls it intercepts and never sees
// one the ring opens, so it would report each later reuse of that number as a race.
// Builds for it make every call one by one.
#ifdef MERRAVINE_NO_RING
constexpr bool kRingAllowed = false;
#else
constexpr bool kRingAllowed = true;
#endif

struct OwnRing {
    io_uring ring{};
    bool tried = false;
    bool ready = false;
    bool fileSlots = false;

    OwnRing() = default;
    OwnRing(const OwnRing&) = delete;
    OwnRing& operator=(const OwnRing&) = delete;
    ~OwnRing() {
        if (ready) io_uring_queue_exit(&ring);
    }
};

thread_local OwnRing t_ring;

}  // namespace

io_uring* ThreadRing() {
    if (!t_ring.tried) {
        t_ring.tried = true;
        t_ring.ready = kRingAllowed && io_uring_queue_init(kRingEntries, &t_ring.ring, 0) == 0;
        t_ring.fileSlots =
            t_ring.ready && io_uring_register_files_sparse(&t_ring.ring, kRingFileSlots) == 0;
    }
    return t_ring.ready ? &t_ring.ring : nullptr;
}

bool ThreadRingHasFileSlots() { return ThreadRing() != nullptr && t_ring.fileSlots; }

}  // namespace merravine::platform
