// What the content cache answers for the pipeline's first reads, and what the pipeline
// hands the cache once its workers have stopped.
#include <algorithm>
#include <vector>

#include "search/hash_pipeline.h"

namespace merravine {

FileFacts HashPipeline::FactsOf(uint32_t index) const {
    const Identity& identity = facts_[index];
    const FileEntry& entry = listing_.files[index];
    return FileFacts{identity.device,
                     identity.inode,
                     PathHash(listing_.folders[entry.folder], listing_.Name(entry)),
                     entry.size,
                     identity.modifyNs,
                     identity.changeNs};
}

bool HashPipeline::FromCache(FirstResult& result) {
    CacheEntry entry;
    if (!cache_->Find(FactsOf(result.index), entry)) return false;
    const bool raw = result.size <= ContentKey{}.bytes.size();
    if (entry.hasKey) {
        result.keyed = true;
        result.key = entry.key;
        result.sha = entry.sha;
    } else if (raw || !entry.hasFingerprint) {
        return false;
    }
    result.cached = true;
    result.seenToday = entry.seenToday;
    result.fingerprint = entry.fingerprint;
    return true;
}

HashPipeline::CacheUse HashPipeline::ForCache(uint32_t index) const {
    if (sizes_.IsAlias(index)) return CacheUse::None;
    const Status status = status_[index];
    // An entry the cache answered stays as it is unless the file was read whole now.
    const uint8_t use = cacheUse_[index] & (kFromCacheKey | kFromCacheFingerprint);
    if (use == kFromCacheKey || (use == kFromCacheFingerprint && status != kKeyed)) {
        // An entry marked today already needs no word with the cache file.
        return (cacheUse_[index] & kCacheSeenToday) != 0 ? CacheUse::None : CacheUse::Seen;
    }
    if (status == kKeyed) return CacheUse::Keyed;
    // Not read, unreadable, or its read was stopped: nothing learned.
    if (status != kPrefixed && status != kReference) return CacheUse::None;
    const bool fingerprinted =
        !fingerprints_.Refined(index) && listing_.files[index].size > ContentKey{}.bytes.size();
    return fingerprinted ? CacheUse::Fingerprint : CacheUse::None;
}

void HashPipeline::CollectForCache(ContentCache& cache) const {
    const uint32_t taken = sizes_.Taken();
    size_t learned = 0;
    size_t keyed = 0;
    for (uint32_t index = 0; index < taken; ++index) {
        const CacheUse use = ForCache(index);
        learned += use == CacheUse::Keyed || use == CacheUse::Fingerprint ? 1 : 0;
        keyed += use == CacheUse::Keyed ? 1 : 0;
    }
    cache.ReserveLearned(learned, std::min(keyed, keys_.Count()));
    // Files proven equal share one key: their digests are held once.
    std::vector<uint32_t> digests_of(keys_.Count(), CacheTable::kNoKeys);
    for (uint32_t index = 0; index < taken; ++index) {
        const CacheUse use = ForCache(index);
        if (use == CacheUse::None) continue;
        if (use == CacheUse::Seen) {
            cache.Seen(FactsOf(index));
            continue;
        }
        CacheEntry entry;
        entry.facts = FactsOf(index);
        entry.hasFingerprint =
            !fingerprints_.Refined(index) && listing_.files[index].size > ContentKey{}.bytes.size();
        entry.fingerprint = fingerprints_.Of(index);
        if (use != CacheUse::Keyed) {
            cache.Put(entry);
            continue;
        }
        uint32_t& digests = digests_of[keys_.IdOf(index)];
        if (digests != CacheTable::kNoKeys) {
            cache.PutSharing(entry, digests);
            continue;
        }
        entry.hasKey = true;
        entry.key = keys_.Key(index);
        entry.sha = keys_.Sha(index);
        digests = cache.Put(entry);
    }
}

}  // namespace merravine
