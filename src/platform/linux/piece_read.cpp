// ReadPieces through io_uring: one submission opens every file of a batch, fstat
// checks each (an io_uring statx would be handed to a kernel worker thread, which
// costs more than the call), and a second submission reads the pieces and closes the
// files, each file's operations chained so its close comes after its reads. Without
// io_uring (an old kernel, or one that forbids it) nothing is batched.
#include "platform/piece_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/linux/uring.h"
#include "platform/path_open.h"

namespace merravine::platform {
namespace {

constexpr size_t kFilesPerSubmission = 16;  // three operations each at most: 48 entries
// Every submission fits the ring whole, so a queue slot is always free when asked for.
static_assert(kFilesPerSubmission * 3 <= kRingEntries);

// Opens the files of `pieces` whose descriptor in `fds` is -1 with `flags`; an open
// that failed leaves minus its errno there.
bool OpenAll(io_uring* ring, std::span<PieceRead> pieces, int* fds, int flags) {
    unsigned queued = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (fds[i] != -1) continue;
        io_uring_sqe* sqe = io_uring_get_sqe(ring);
        io_uring_prep_openat(sqe, AT_FDCWD, pieces[i].path, flags, 0);
        io_uring_sqe_set_data64(sqe, i);
        ++queued;
    }
    return CompleteQueued(ring, queued, [&](uint64_t i, int res) { fds[i] = res; });
}

void ReadSome(io_uring* ring, std::span<PieceRead> pieces) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    int fds[kFilesPerSubmission];
    for (size_t i = 0; i < pieces.size(); ++i) {
        // A path the kernel cannot take in one piece is left to the caller.
        fds[i] = std::strlen(pieces[i].path) < PATH_MAX ? -1 : -ENAMETOOLONG;
    }
    if (!OpenAll(ring, pieces, fds, flags | O_NOATIME)) return;
    // O_NOATIME is refused for files of other owners: those are opened again without.
    bool refused = false;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (fds[i] == -EPERM) {
            fds[i] = -1;
            refused = true;
        }
    }
    if (refused && !OpenAll(ring, pieces, fds, flags)) return;

    unsigned queued = 0;
    bool closing = false;
    for (size_t i = 0; i < pieces.size(); ++i) {
        PieceRead& piece = pieces[i];
        const int fd = fds[i];
        if (fd < 0) {
            const int error = -fd;
            // Out of descriptors, interrupted or too long: the caller's own open waits
            // or copes; anything else is the file's answer.
            piece.done = error != EMFILE && error != ENFILE && error != EINTR && error != EAGAIN &&
                         error != ENAMETOOLONG && error != ECANCELED && error != ENOMEM;
            piece.error = error;
            continue;
        }
        struct stat info {};
        int check = fstat(fd, &info) != 0 ? errno : 0;
        if (check == 0 && !S_ISREG(info.st_mode)) check = EINVAL;
        piece.error = check;
        piece.size = static_cast<uint64_t>(info.st_size);
        piece.done = true;  // unless a read below says otherwise
        for (int at = 0; at < 2 && check == 0; ++at) {
            if (piece.lengths[at] == 0) continue;
            io_uring_sqe* sqe = io_uring_get_sqe(ring);
            io_uring_prep_read(sqe, fd, piece.buffers[at], piece.lengths[at], piece.offsets[at]);
            io_uring_sqe_set_data64(sqe, i * 2 + static_cast<uint64_t>(at));
            sqe->flags |= IOSQE_IO_HARDLINK;  // the close waits for the read, whatever it gave
            ++queued;
        }
        io_uring_sqe* sqe = io_uring_get_sqe(ring);
        io_uring_prep_close(sqe, fd);
        io_uring_sqe_set_data64(sqe, UINT64_MAX);
        ++queued;
        closing = true;
    }
    const bool completed = CompleteQueued(ring, queued, [&](uint64_t data, int res) {
        if (data == UINT64_MAX) return;  // a close
        PieceRead& piece = pieces[data / 2];
        const size_t at = data % 2;
        // An error or a short read before the end of the file is left to the caller.
        if (res < 0 || (static_cast<uint32_t>(res) < piece.lengths[at] &&
                        piece.offsets[at] + static_cast<uint64_t>(res) < piece.size)) {
            piece.done = false;
        } else {
            piece.got[at] = static_cast<uint32_t>(res);
        }
    });
    if (!completed) {
        // The ring broke down mid-batch: what it did is not trusted.
        for (PieceRead& piece : pieces) piece.done = false;
    }
    if (closing) DescriptorReleased();
}

}  // namespace

bool PieceReadsBatched() { return ThreadRing() != nullptr; }

void ReadPieces(std::span<PieceRead> pieces) {
    io_uring* ring = ThreadRing();
    if (ring == nullptr) return;
    for (size_t first = 0; first < pieces.size(); first += kFilesPerSubmission) {
        const size_t count = std::min(kFilesPerSubmission, pieces.size() - first);
        ReadSome(ring, pieces.subspan(first, count));
    }
}

}  // namespace merravine::platform
