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
    const size_t mask = places_.size() - 1;
    if (!places_.empty()) {
        for (size_t at = MixIn(0, size) & mask; places_[at] != kNone; at = (at + 1) & mask) {
            if (slots_[places_[at]].size == size) return places_[at];
        }
    }
    throw std::out_of_range("no file of this size");
}

SizeBuckets::Bucket& SizeBuckets::Place(FileLen size) {
    // Filled to half at most, so a probe stays short.
    if (2 * (slots_.size() + 1) > places_.size()) Grow();
    const size_t mask = places_.size() - 1;
    size_t at = MixIn(0, size) & mask;
    for (; places_[at] != kNone; at = (at + 1) & mask) {
        if (slots_[places_[at]].size == size) return slots_[places_[at]].bucket;
    }
    places_[at] = static_cast<uint32_t>(slots_.size());
    slots_.push_back(Slot{size, Bucket{}});  // fewer sizes than files, whose indices are 32-bit
    return slots_[slots_.size() - 1].bucket;
}

void SizeBuckets::Grow() {
    places_.assign(places_.empty() ? 1024 : places_.size() * 2, kNone);
    const size_t mask = places_.size() - 1;
    for (size_t i = 0; i < slots_.size(); ++i) {
        size_t at = MixIn(0, slots_[i].size) & mask;
        while (places_[at] != kNone) at = (at + 1) & mask;
        places_[at] = static_cast<uint32_t>(i);
    }
}

}  // namespace merravine
