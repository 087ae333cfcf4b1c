// The reading order for a rotating disk.
#include "search/disk_order.h"

#include <gtest/gtest.h>

namespace merravine {
namespace {

DiskPlace Placed(uint32_t index, uint64_t device, uint64_t physical, uint64_t inode = 0) {
    return DiskPlace{index, device, inode, true, physical};
}
DiskPlace Unplaced(uint32_t index, uint64_t device, uint64_t inode) {
    return DiskPlace{index, device, inode, false, 0};
}

TEST(DiskOrder, FilesGoByTheirPlaceThenByInodeOnEachDevice) {
    // One device: known places ascending (whatever the inodes), then the files whose
    // place is unknown by inode; a second device after the first.
    const std::vector<DiskPlace> places = {
        Unplaced(0, 8, 900),     Placed(1, 8, 204800, 5), Placed(2, 9, 100),
        Placed(3, 8, 4096, 999), Unplaced(4, 8, 12),      Unplaced(5, 9, 1),
        Placed(6, 8, 28672, 3),
    };
    EXPECT_EQ(DiskReadOrder(places), (std::vector<uint32_t>{3, 6, 1, 4, 0, 2, 5}));
}

TEST(DiskOrder, EqualPlacesKeepTheirOrderAndNothingIsLost) {
    // Hard links share a place; files that could not be located (all zero) stay last
    // among the unknown ones of device 0, in the order they came.
    std::vector<DiskPlace> places = {Placed(7, 1, 8192), Unplaced(3, 0, 0), Placed(2, 1, 8192),
                                     Unplaced(9, 0, 0), Placed(5, 1, 0)};
    EXPECT_EQ(DiskReadOrder(places), (std::vector<uint32_t>{3, 9, 5, 7, 2}));
    EXPECT_TRUE(DiskReadOrder({}).empty());
}

}  // namespace
}  // namespace merravine
