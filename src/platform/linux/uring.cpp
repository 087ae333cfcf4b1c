#include "platform/linux/uring.h"

namespace merravine::platform {
namespace {

struct OwnRing {
    io_uring ring{};
    bool tried = false;
    bool ready = false;

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
        t_ring.ready = io_uring_queue_init(kRingEntries, &t_ring.ring, 0) == 0;
    }
    return t_ring.ready ? &t_ring.ring : nullptr;
}

}  // namespace merravine::platform
