// Opening, checking and reading small pieces of many files with few system calls.
// Where the system can queue its calls (io_uring on Linux), a batch of files costs
// three or four calls in all instead of four or five a file, which is most of a first
// read's cost when the content is in the page cache. Elsewhere, and for any file the
// batch cannot take whole, nothing is done and the caller reads the file itself.
//
// As with ContentFile: links are not followed, an open never waits for a FIFO's
// writer, and a file that is not plain is refused before any read of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace merravine::platform {

/// One file of a batch, read at up to two places.
struct PieceRead {
    const char* path = nullptr;
    uint8_t* buffers[2] = {nullptr, nullptr};
    uint64_t offsets[2] = {0, 0};
    uint32_t lengths[2] = {0, 0};  ///< 0: nothing to read there

    /// False: the batch did not take this file; the caller reads it itself.
    bool done = false;
    /// When done: 0, or why the file could not be opened (EINVAL: not a plain file).
    int error = 0;
    /// When done without error: the file's size once open, and the bytes read at each
    /// place (fewer than asked only at the end of the file).
    uint64_t size = 0;
    uint32_t got[2] = {0, 0};
};

/// Does what it can of `pieces` on the calling thread, in a few system calls.
void ReadPieces(std::span<PieceRead> pieces);

/// Whether this thread can batch reads at all (false: ReadPieces never takes a file).
bool PieceReadsBatched();

}  // namespace merravine::platform
