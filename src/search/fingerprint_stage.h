// The second stage of content reading: the fingerprints of the first and last block of
// the files of shared sizes, and the matching that sends files on to a whole read.
//
// A file's fingerprint comes from its first read. Matched with the other fingerprinted
// files of its size, every file that agrees with another is sent on to be compared
// whole; a file that agrees with none is Distinct once its size is settled. A file
// found to differ from the files it was compared with is refined: its fingerprint takes
// in where and how it differs, and it is matched again like after its first read.
//
// A short bucket is searched file by file; once a bucket grows past `scanLimit` files,
// its fingerprints go into a table (file, or kMany once several share one), which keeps
// the table small on trees of many small buckets. A table hit may be another
// fingerprint with the same hash: the whole read that follows tells them apart.
//
// The class knows nothing of threads: the pipeline that owns it calls it under its lock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "search/file_record.h"
#include "search/listing.h"
#include "search/size_buckets.h"
#include "search/u64_table.h"
#include "util/hash_mix.h"

namespace merravine {

class FingerprintStage {
  public:
    explicit FingerprintStage(uint32_t scanLimit) : scanLimit_(scanLimit < 1 ? 1 : scanLimit) {}

    /// Makes room for the next file taken in (files come with consecutive indices).
    void Add() { fingerprints_.push_back(0); }
    uint64_t Of(uint32_t index) const { return fingerprints_[index]; }
    /// True when the fingerprint is no longer that of the file's end blocks.
    bool Refined(uint32_t index) const { return (fingerprints_[index] & kRefinedBit) != 0; }
    /// The top bit of a fingerprint tells a refined one (a byte a file less for a
    /// million files; a stranger sharing the other 63 bits costs one whole read).
    void Set(uint32_t index, uint64_t fingerprint) {
        fingerprints_[index] = fingerprint & ~kRefinedBit;
    }
    /// The file differs from the files it was compared with, first by `divergence`.
    void Refine(uint32_t index, uint64_t divergence) {
        fingerprints_[index] = MixIn(fingerprints_[index], divergence) | kRefinedBit;
    }

    /// Called when a file joined `bucket` (of `size`): once the bucket grows past the
    /// scan limit, its files for which `fingerprinted(file)` holds go into the table.
    /// A file whose place is taken by a file of another size or fingerprint (the table
    /// keeps 32 bits of each) is sent on with it through `sendOn`, as a hit in Match
    /// would be: the place then holds kMany, and neither would be sent on later.
    template <typename Fingerprinted, typename SendOn>
    void Grew(const SizeBuckets& buckets, FileLen size, const SizeBuckets::Bucket& bucket,
              Fingerprinted&& fingerprinted, SendOn&& sendOn) {
        if (bucket.count != scanLimit_ + 1) return;
        std::vector<uint64_t> placed;  // fingerprints of this bucket placed so far
        for (uint32_t member = bucket.head; member != SizeBuckets::kNone;
             member = buckets.Next(member)) {
            if (!fingerprinted(member)) continue;
            const uint64_t fingerprint = fingerprints_[member];
            auto [first, added] = Find(size, fingerprint, member);
            const bool mate =
                !added && std::find(placed.begin(), placed.end(), fingerprint) != placed.end();
            placed.push_back(fingerprint);
            if (added) continue;
            // Files of the bucket with one fingerprint were matched while it was short.
            if (!mate) {
                if (*first != kMany) sendOn(*first);
                sendOn(member);
            }
            *first = kMany;
        }
    }

    /// Matches the fingerprinted file `index` with the others of its size (`bucket`): calls
    /// `sendOn(other)` for each other one that agrees (and, in a crowded bucket, was not
    /// sent on before). True when any agrees.
    template <typename Fingerprinted, typename SendOn>
    bool Match(uint32_t index, FileLen size, const SizeBuckets& buckets,
               const SizeBuckets::Bucket& bucket, Fingerprinted&& fingerprinted, SendOn&& sendOn) {
        const uint64_t fingerprint = fingerprints_[index];
        if (bucket.count <= scanLimit_) {
            bool agrees = false;
            for (uint32_t other = bucket.head; other != SizeBuckets::kNone;
                 other = buckets.Next(other)) {
                if (other == index || fingerprints_[other] != fingerprint) continue;
                if (!fingerprinted(other)) continue;
                sendOn(other);
                agrees = true;
            }
            return agrees;
        }
        auto [first, added] = Find(size, fingerprint, index);
        if (added) return false;
        if (*first != kMany) {
            sendOn(*first);
            *first = kMany;
        }
        return true;
    }

    /// Frees the table of crowded buckets once no file is matched any more.
    void ReleaseTable() { table_ = U32KeyTable(); }

  private:
    static constexpr uint32_t kMany = UINT32_MAX - 1;  // several files share this fingerprint
    static constexpr uint64_t kRefinedBit = uint64_t{1} << 63;

    std::pair<uint32_t*, bool> Find(FileLen size, uint64_t fingerprint, uint32_t index) {
        return table_.TryEmplace(MixPair(size, fingerprint), index);
    }

    const uint32_t scanLimit_;
    ChunkedVector<uint64_t> fingerprints_;
    U32KeyTable table_;  // of the files of crowded buckets: a file, or kMany
};

}  // namespace merravine
