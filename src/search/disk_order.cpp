#include "search/disk_order.h"

#include <algorithm>
#include <tuple>

namespace merravine {

std::vector<uint32_t> DiskReadOrder(std::vector<DiskPlace> places) {
    std::stable_sort(places.begin(), places.end(), [](const DiskPlace& a, const DiskPlace& b) {
        return std::make_tuple(a.device, !a.hasPhysical, a.hasPhysical ? a.physical : a.inode) <
               std::make_tuple(b.device, !b.hasPhysical, b.hasPhysical ? b.physical : b.inode);
    });
    std::vector<uint32_t> order;
    order.reserve(places.size());
    for (const DiskPlace& place : places) order.push_back(place.index);
    return order;
}

}  // namespace merravine
