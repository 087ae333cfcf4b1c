// Buckets by size and hard-link aliases, filled in walk order.
#include "search/size_buckets.h"

namespace merravine {

SizeBuckets::Bucket& SizeBuckets::Add(uint32_t index, FileLen size, uint64_t device, uint64_t inode,
                                      uint32_t links) {
    next_.push_back(kNone);
    // An empty file is equal to every other one: its names need no telling apart.
    if (links > 1 && size > 0) {
        auto [it, inserted] = inodes_.try_emplace(InodeKey{device, inode, size}, index);
        if (!inserted) {
            aliasOf_.emplace(index, it->second);
            withAliases_.insert(it->second);
            ++aliases_;
        }
    }
    Bucket& bucket = buckets_[size];
    if (bucket.count == 0) {
        bucket.head = index;
    } else {
        next_[bucket.tail] = index;
    }
    bucket.tail = index;
    ++bucket.count;
    return bucket;
}

}  // namespace merravine
