// ReadPieces through io_uring with direct descriptors: each file is opened into a
// slot of the ring's own file table, read there and closed, the three chained, so a
// whole batch is one submission and its descriptors never enter the process's table
// (no descriptor limit to meet, none to leak). The file's type is not asked again: a
// failed or short read sends the file back to the caller, whose read checks it.
// Without io_uring, or without direct descriptors (kernels before 5.15), nothing is
// batched.
#include "platform/piece_read.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/linux/uring.h"

namespace merravine::platform {
namespace {

// Four operations a file at most (open, two reads, close): 64 queue entries.
constexpr size_t kFilesPerSubmission = kRingFileSlots;
static_assert(kFilesPerSubmission * 4 <= kRingEntries);

// User data of a completion: the file's index, and which of its operations it was.
enum class Step : uint64_t { kOpen = 0, kRead0 = 1, kRead1 = 2, kClose = 3 };
uint64_t DataOf(size_t index, Step step) { return index * 4 + static_cast<uint64_t>(step); }

struct Outcome {
    int open = 0;           // the open's result (minus an errno)
    int reads[2] = {0, 0};  // each read's result
};

// Opens, reads and closes the files of `pieces` marked in `take`, each in slot i.
bool ReadChained(io_uring* ring, std::span<PieceRead> pieces, const bool* take, int flags,
                 Outcome* outcomes) {
    unsigned queued = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (!take[i]) continue;
        const PieceRead& piece = pieces[i];
        const auto slot = static_cast<unsigned>(i);
        // Hard links keep the chain going after a failure, so the slot is always
        // closed; reads of a slot whose open failed fail too.
        io_uring_sqe* sqe = io_uring_get_sqe(ring);
        io_uring_prep_openat_direct(sqe, AT_FDCWD, piece.path, flags, 0, slot);
        io_uring_sqe_set_data64(sqe, DataOf(i, Step::kOpen));
        sqe->flags |= IOSQE_IO_HARDLINK;
        for (size_t at = 0; at < 2; ++at) {
            if (piece.lengths[at] == 0) continue;
            sqe = io_uring_get_sqe(ring);
            io_uring_prep_read(sqe, static_cast<int>(slot), piece.buffers[at], piece.lengths[at],
                               piece.offsets[at]);
            io_uring_sqe_set_data64(sqe, DataOf(i, at == 0 ? Step::kRead0 : Step::kRead1));
            sqe->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
        }
        sqe = io_uring_get_sqe(ring);
        io_uring_prep_close_direct(sqe, slot);
        io_uring_sqe_set_data64(sqe, DataOf(i, Step::kClose));
        queued += 2 + (piece.lengths[0] != 0) + (piece.lengths[1] != 0);
    }
    return CompleteQueued(ring, queued, [&](uint64_t data, int res) {
        Outcome& outcome = outcomes[data / 4];
        switch (static_cast<Step>(data % 4)) {
            case Step::kOpen:
                outcome.open = res;
                break;
            case Step::kRead0:
                outcome.reads[0] = res;
                break;
            case Step::kRead1:
                outcome.reads[1] = res;
                break;
            case Step::kClose:
                break;
        }
    });
}

void ReadSome(io_uring* ring, std::span<PieceRead> pieces) {
    // No O_CLOEXEC: a direct descriptor is never in the table an exec would inherit.
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    bool take[kFilesPerSubmission] = {};
    Outcome outcomes[kFilesPerSubmission] = {};
    for (size_t i = 0; i < pieces.size(); ++i) {
        // A path the kernel cannot take in one piece is left to the caller.
        take[i] = std::strlen(pieces[i].path) < PATH_MAX;
    }
    if (!ReadChained(ring, pieces, take, flags | O_NOATIME, outcomes)) return;
    // O_NOATIME is refused for files of other owners: those are read again without.
    bool refused = false;
    for (size_t i = 0; i < pieces.size(); ++i) {
        take[i] = take[i] && outcomes[i].open == -EPERM;
        refused = refused || take[i];
    }
    if (refused && !ReadChained(ring, pieces, take, flags, outcomes)) return;

    for (size_t i = 0; i < pieces.size(); ++i) {
        PieceRead& piece = pieces[i];
        if (std::strlen(piece.path) >= PATH_MAX) continue;
        const Outcome& outcome = outcomes[i];
        if (outcome.open < 0) {
            const int error = -outcome.open;
            // Out of memory or interrupted: the caller's own open copes; anything
            // else is the file's answer.
            piece.done = error != EMFILE && error != ENFILE && error != EINTR && error != EAGAIN &&
                         error != ECANCELED && error != ENOMEM;
            piece.error = error;
            continue;
        }
        piece.done = true;
        for (size_t at = 0; at < 2; ++at) {
            if (piece.lengths[at] == 0) continue;
            const int res = outcome.reads[at];
            // A failed read, or one that ends before the listed size (a file that
            // shrank, or a FIFO now at that name), is left to the caller.
            if (res < 0 || (static_cast<uint32_t>(res) < piece.lengths[at] &&
                            piece.offsets[at] + static_cast<uint64_t>(res) < piece.size)) {
                piece.done = false;
                break;
            }
            piece.got[at] = static_cast<uint32_t>(res);
        }
    }
}

}  // namespace

bool PieceReadsBatched() { return ThreadRingHasFileSlots(); }

void ReadPieces(std::span<PieceRead> pieces) {
    if (!ThreadRingHasFileSlots()) return;
    io_uring* ring = ThreadRing();
    for (size_t first = 0; first < pieces.size(); first += kFilesPerSubmission) {
        const size_t count = std::min(kFilesPerSubmission, pieces.size() - first);
        ReadSome(ring, pieces.subspan(first, count));
    }
}

}  // namespace merravine::platform
