#include "platform/disk_layout.h"

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string_view>

namespace merravine::platform {
namespace {

// The first character of a sysfs flag file, or 0 when it cannot be read.
char ReadFlag(const std::string& path) {
    std::ifstream in(path);
    char flag = 0;
    if (!(in >> flag)) return 0;
    return flag;
}

}  // namespace

Rotation RotationOf(char flag, std::string_view deviceLink) {
    if (flag == '0') return Rotation::Solid;
    if (flag != '1') return Rotation::Unknown;
    // A virtio disk says it rotates whatever the host keeps it on, and a loop device
    // says what it was set to, not what its backing file lies on.
    if (deviceLink.find("/virtio") != std::string_view::npos ||
        deviceLink.find("/block/loop") != std::string_view::npos) {
        return Rotation::Unknown;
    }
    return Rotation::Rotating;
}

Rotation DeviceRotation(uint64_t device) {
    const unsigned major_number = major(static_cast<dev_t>(device));
    const unsigned minor_number = minor(static_cast<dev_t>(device));
    if (major_number == 0) return Rotation::Unknown;  // no block device behind it
    const std::string base =
        "/sys/dev/block/" + std::to_string(major_number) + ":" + std::to_string(minor_number);
    // A whole disk (or a mapped or RAID device) has its own queue; a partition has
    // none, and its folder lies inside its disk's.
    char flag = ReadFlag(base + "/queue/rotational");
    if (flag == 0 && ReadFlag(base + "/partition") != 0)
        flag = ReadFlag(base + "/../queue/rotational");
    char target[4096];
    const ssize_t length = readlink(base.c_str(), target, sizeof target - 1);
    return RotationOf(flag, std::string_view(target, length > 0 ? static_cast<size_t>(length) : 0));
}

Rotation PathRotation(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return Rotation::Unknown;
    return DeviceRotation(static_cast<uint64_t>(info.st_dev));
}

int LocateFile(const std::string& path, FileLocation& out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return errno;
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        const int error = errno;
        close(fd);
        return error;
    }
    out.device = static_cast<uint64_t>(info.st_dev);
    out.inode = static_cast<uint64_t>(info.st_ino);
    // The map's header and room for one extent, in an aligned buffer.
    alignas(fiemap) unsigned char buffer[sizeof(fiemap) + sizeof(fiemap_extent)] = {};
    auto* map = reinterpret_cast<fiemap*>(buffer);
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_extent_count = 1;
    constexpr uint32_t kNoPlace =
        FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DATA_INLINE | FIEMAP_EXTENT_NOT_ALIGNED;
    out.hasPhysical = ioctl(fd, FS_IOC_FIEMAP, map) == 0 && map->fm_mapped_extents >= 1 &&
                      (map->fm_extents[0].fe_flags & kNoPlace) == 0;
    out.physical = out.hasPhysical ? map->fm_extents[0].fe_physical : 0;
    close(fd);
    return 0;
}

}  // namespace merravine::platform
