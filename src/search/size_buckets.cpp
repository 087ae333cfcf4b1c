// Buckets by size and hard-link aliases, filled in walk order.
#include "search/size_buckets.h"

#include <stdexcept>

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
    Bucket& bucket = Place(size);
    if (bucket.count == 0) {
        bucket.head = index;
    } else {
        next_[bucket.tail] = index;
    }
    bucket.tail = index;
    ++bucket.count;
    return bucket;
}

size_t SizeBuckets::Find(FileLen size) const {
    const size_t mask = slots_.size() - 1;
    if (!slots_.empty()) {
        for (size_t at = MixIn(0, size) & mask;; at = (at + 1) & mask) {
            if (slots_[at].bucket.count == 0) break;
            if (slots_[at].size == size) return at;
        }
    }
    throw std::out_of_range("no file of this size");
}

SizeBuckets::Bucket& SizeBuckets::Place(FileLen size) {
    // Filled to three quarters at most, so a probe stays short.
    if (4 * (used_ + 1) > 3 * slots_.size()) Grow();
    const size_t mask = slots_.size() - 1;
    for (size_t at = MixIn(0, size) & mask;; at = (at + 1) & mask) {
        Slot& slot = slots_[at];
        if (slot.bucket.count == 0) {
            slot.size = size;
            ++used_;
            return slot.bucket;
        }
        if (slot.size == size) return slot.bucket;
    }
}

void SizeBuckets::Grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot{});
    const size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.bucket.count == 0) continue;
        size_t at = MixIn(0, slot.size) & mask;
        while (slots_[at].bucket.count != 0) at = (at + 1) & mask;
        slots_[at] = slot;
    }
}

}  // namespace merravine
