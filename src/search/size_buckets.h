// The first stage of content reading: files in buckets by size, as the walk accepts
// them, and the names of one inode (hard links) told apart from their first name.
//
// A bucket lists its files in walk order (each file holds the next of its size) and
// counts the reads its files still owe: first reads queued and not done, and files
// waiting for or in a whole read. A file of a size no other file has is never read,
// and a size with reads owed is not settled yet.
//
// Files come with consecutive indices from 0. The class knows nothing of threads: the
// pipeline that owns it calls it under its lock.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "search/file_record.h"
#include "search/listing.h"
#include "util/hash_mix.h"

namespace merravine {

class SizeBuckets {
  public:
    static constexpr uint32_t kNone = UINT32_MAX;

    struct Bucket {
        uint32_t head = kNone;
        uint32_t tail = kNone;
        uint32_t count = 0;
        uint32_t firstOwed = 0;  ///< first reads queued and not done yet
        uint32_t wholeOwed = 0;  ///< files waiting for or in a whole read
    };

    /// Puts file `index` (the next one) into the bucket of `size`; a file with several
    /// links whose inode came before becomes an alias of that first name. Returns its bucket.
    Bucket& Add(uint32_t index, FileLen size, uint64_t device, uint64_t inode, uint32_t links);

    /// The bucket of `size` (which must have a file); it stays where it is.
    Bucket& Of(FileLen size) { return slots_[Find(size)].bucket; }
    const Bucket& Of(FileLen size) const { return slots_[Find(size)].bucket; }
    /// Files taken in.
    uint32_t Taken() const { return static_cast<uint32_t>(next_.size()); }
    /// The next file of the same size in walk order, or kNone.
    uint32_t Next(uint32_t index) const { return next_[index]; }
    /// The first name of file `index`'s inode (itself unless it is a hard link alias).
    uint32_t Primary(uint32_t index) const {
        if (aliasOf_.empty()) return index;
        const auto it = aliasOf_.find(index);
        return it == aliasOf_.end() ? index : it->second;
    }
    bool IsAlias(uint32_t index) const { return Primary(index) != index; }
    /// True when other names of the same inode came after it.
    bool HasAliases(uint32_t index) const {
        return !withAliases_.empty() && withAliases_.count(index) != 0;
    }
    /// Names taken in as aliases of an earlier name.
    uint32_t Aliases() const { return aliases_; }

    /// Calls `visit(size, bucket)` for each bucket, in the order their sizes came.
    template <typename Visit>
    void ForEach(Visit&& visit) const {
        for (size_t i = 0; i < slots_.size(); ++i) visit(slots_[i].size, slots_[i].bucket);
    }

  private:
    struct InodeKey {
        uint64_t device;
        uint64_t inode;
        FileLen size;
        bool operator==(const InodeKey&) const = default;
    };
    struct InodeHash {
        size_t operator()(const InodeKey& k) const {
            return MixPair(k.inode, k.device ^ (k.size << 17));
        }
    };

    // The buckets in the order their sizes came, found through an open-addressing
    // array of their places (kNone marks a free one): a node per size cost the walk a
    // lookup through scattered memory per file. Chunks keep a bucket where it is.
    struct Slot {
        FileLen size = 0;
        Bucket bucket;
    };
    size_t Find(FileLen size) const;  // the place of a size that has a file
    Bucket& Place(FileLen size);      // the bucket of `size`, made when missing
    void Grow();

    ChunkedVector<Slot> slots_;
    std::vector<uint32_t> places_;
    std::unordered_map<InodeKey, uint32_t, InodeHash> inodes_;  // first name of each linked inode
    ChunkedVector<uint32_t> next_;
    // Hard links are few: their names are kept apart rather than a place for every file.
    std::unordered_map<uint32_t, uint32_t> aliasOf_;  // alias -> first name of its inode
    std::unordered_set<uint32_t> withAliases_;        // first names that have aliases
    uint32_t aliases_ = 0;
};

}  // namespace merravine
