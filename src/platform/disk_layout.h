// Where file contents lie on their disk: whether a device rotates (a seek costs
// milliseconds, so its files are best read one at a time in the order they lie), and
// where a file's first block lies on it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace merravine::platform {

enum class Rotation : uint8_t { Unknown, Rotating, Solid };

/// The answer for a device whose queue flag reads `flag` ('1' rotates, '0' does not,
/// 0 unread) and whose system folder `deviceLink` names its driver's path: a flag
/// that only repeats a driver's default (virtio disks, loop devices) tells nothing.
Rotation RotationOf(char flag, std::string_view deviceLink);

/// Whether the block device holding `device` (a file's st_dev) rotates, as the
/// system's queue for it says (the whole disk's for a partition). Unknown for file
/// systems on no block device (tmpfs, network, overlay) or when the system does not say.
Rotation DeviceRotation(uint64_t device);

/// Whether the device holding `path` rotates.
Rotation PathRotation(const std::string& path);

/// Where a file lies: its device and inode, and the byte offset on the device of its
/// first block when the file system's extent map tells it (not for an empty or
/// inline file, nor where the file system keeps no map).
struct FileLocation {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool hasPhysical = false;
    uint64_t physical = 0;
};

/// Locates the file at `path` (a final link is not followed); 0 or the errno.
int LocateFile(const std::string& path, FileLocation& out);

}  // namespace merravine::platform
