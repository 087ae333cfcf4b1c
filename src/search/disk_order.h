// The order in which to read files from a rotating disk: the way they lie on it, so
// the head sweeps across the disk once instead of seeking back and forth.
#pragma once

#include <cstdint>
#include <vector>

namespace merravine {

/// Where one file to be read lies.
struct DiskPlace {
    uint32_t index = 0;  ///< the file, as its reader knows it
    uint64_t device = 0;
    uint64_t inode = 0;
    bool hasPhysical = false;  ///< `physical` holds its first block's offset on the device
    uint64_t physical = 0;
};

/// The files' indexes in reading order: by device; on one device, the files whose
/// place is known by that place, then the others by inode (file systems hand out
/// inodes near where the data goes); equal places keep the order they came in.
std::vector<uint32_t> DiskReadOrder(std::vector<DiskPlace> places);

}  // namespace merravine
