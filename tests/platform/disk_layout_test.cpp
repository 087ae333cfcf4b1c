// The rotation of this machine's block devices and the place of a file on its disk.
#include "platform/disk_layout.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"

namespace merravine::platform {
namespace {

TEST(DiskLayout, TheQueueFlagAnswersUnlessADriverDefaultSetIt) {
    const char* disk =
        "../../devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda";
    EXPECT_EQ(RotationOf('1', disk), Rotation::Rotating);
    EXPECT_EQ(RotationOf('0', disk), Rotation::Solid);
    EXPECT_EQ(RotationOf(0, disk), Rotation::Unknown);
    EXPECT_EQ(RotationOf('1', "../../devices/pci0000:00/0000:00:02.0/virtio1/block/vda"),
              Rotation::Unknown);
    EXPECT_EQ(RotationOf('1', "../../devices/virtual/block/loop0"), Rotation::Unknown);
    EXPECT_EQ(RotationOf('0', "../../devices/virtual/block/loop3"), Rotation::Solid);
}

// Every partition answers as the disk that holds it; a device number of no block
// device (tmpfs, overlay) answers Unknown.
TEST(DiskLayout, PartitionsAnswerAsTheirDisk) {
    const std::filesystem::path devices = "/sys/dev/block";
    if (!std::filesystem::exists(devices)) GTEST_SKIP() << "no /sys/dev/block on this machine";
    EXPECT_EQ(DeviceRotation(makedev(0, 42)), Rotation::Unknown);
    size_t checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(devices)) {
        unsigned major_number = 0;
        unsigned minor_number = 0;
        if (std::sscanf(entry.path().filename().c_str(), "%u:%u", &major_number, &minor_number) !=
            2)
            continue;
        const Rotation rotation = DeviceRotation(makedev(major_number, minor_number));
        if (!std::filesystem::exists(entry.path() / "partition")) {
            if (std::ifstream(entry.path() / "queue/rotational").get() == '0') {
                EXPECT_EQ(rotation, Rotation::Solid) << entry.path();
            }
            continue;
        }
        std::ifstream parent_dev(entry.path() / "../dev");
        std::string parent;
        ASSERT_TRUE(std::getline(parent_dev, parent)) << entry.path();
        ASSERT_EQ(std::sscanf(parent.c_str(), "%u:%u", &major_number, &minor_number), 2);
        EXPECT_EQ(rotation, DeviceRotation(makedev(major_number, minor_number))) << entry.path();
        ++checked;
    }
    if (checked == 0) std::printf("no partitioned disk here; whole disks only\n");
}

TEST(DiskLayout, LocatesAFileAndItsFirstBlock) {
    testing::TempDir dir;
    dir.Write("data", std::string(size_t{256} * 1024, 'x'));
    dir.Write("empty", "");
    const std::string data = (dir.Path() / "data").string();
    FileLocation location;
    ASSERT_EQ(LocateFile(data, location), 0);
    struct stat info {};
    ASSERT_EQ(stat(data.c_str(), &info), 0);
    EXPECT_EQ(location.device, static_cast<uint64_t>(info.st_dev));
    EXPECT_EQ(location.inode, static_cast<uint64_t>(info.st_ino));
    // A file not yet written out has no place (delayed allocation): then there is none.
    if (location.hasPhysical) {
        EXPECT_EQ(location.physical % 512, 0u);
    }

    FileLocation empty;
    ASSERT_EQ(LocateFile((dir.Path() / "empty").string(), empty), 0);
    EXPECT_FALSE(empty.hasPhysical);
    EXPECT_EQ(LocateFile((dir.Path() / "missing").string(), empty), ENOENT);
    EXPECT_EQ(PathRotation(dir.Path().string()),
              DeviceRotation(static_cast<uint64_t>(info.st_dev)));
}

}  // namespace
}  // namespace merravine::platform
