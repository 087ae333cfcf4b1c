// Opening and reading small pieces of many files with few system calls. Where the
// system can queue its calls (io_uring on Linux), a batch of up to 16 files costs one
// call in all instead of four or five a file, which is most of a first read's cost
// when the content is in the page cache. Elsewhere, and for any file the batch cannot
// take whole, nothing is done and the caller reads the file itself.
//
// As with ContentFile, links are not followed and an open never waits for a FIFO's
// writer. The batch does not ask a file's type again (the walk found a plain file
// there): a name replaced since by a FIFO or a folder gives a short or failed read,
// which leaves the file to the caller, whose own read refuses what is not plain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace merravine::platform {

/// One file of a batch, read at up to two places.
struct PieceRead {
    const char* path = nullptr;
    uint64_t size = 0;  ///< the size the file had when it was listed
    uint8_t* buffers[2] = {nullptr, nullptr};
    uint64_t offsets[2] = {0, 0};
    uint32_t lengths[2] = {0, 0};  ///< 0: nothing to read there

    /// False: the batch did not take this file; the caller reads it itself.
    bool done = false;
    /// When done: 0, or why the file could not be opened.
    int error = 0;
    /// When done without error: the bytes read at each place, fewer than asked only
    /// where the listed size ends there (a byte asked beyond it shows a file that grew).
    uint32_t got[2] = {0, 0};
};

/// Does what it can of `pieces` on the calling thread, in a few system calls.
void ReadPieces(std::span<PieceRead> pieces);

/// Whether this thread can batch reads at all (false: ReadPieces never takes a file).
bool PieceReadsBatched();

}  // namespace merravine::platform
