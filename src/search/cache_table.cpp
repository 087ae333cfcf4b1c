#include "search/cache_table.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace merravine {
void CacheTable::Reserve(size_t entries, size_t keyed) {
    entries_.reserve(entries);
    digests_.reserve(keyed);
}

uint32_t CacheTable::Add(const CacheEntry& entry, uint16_t seen) {
    Stored stored;
    stored.facts = entry.facts;
    stored.fingerprint = entry.fingerprint;
    stored.hasFingerprint = entry.hasFingerprint ? 1 : 0;
    stored.seen = seen;
    if (entry.hasKey) {
        stored.keys = static_cast<uint32_t>(digests_.size());
        digests_.push_back(Digests{entry.key, entry.sha});
    }
    entries_.push_back(stored);
    return stored.keys;
}

void CacheTable::AddSharing(const CacheEntry& entry, uint16_t seen, uint32_t keys) {
    Stored stored;
    stored.facts = entry.facts;
    stored.fingerprint = entry.fingerprint;
    stored.hasFingerprint = entry.hasFingerprint ? 1 : 0;
    stored.seen = seen;
    stored.keys = keys;
    entries_.push_back(stored);
}

bool CacheTable::Append(const void* records, size_t count, const void* digests, size_t keyed) {
    const size_t first = entries_.size();
    const auto offset = static_cast<uint32_t>(digests_.size());
    entries_.resize(first + count);
    if (count > 0) std::memcpy(&entries_[first], records, count * sizeof(Stored));
    for (size_t i = first; i < entries_.size(); ++i) {
        uint32_t& keys = entries_[i].keys;
        if (keys == kNoKeys) continue;
        if (keys >= keyed) {
            entries_.resize(first);
            return false;
        }
        keys += offset;
    }
    digests_.resize(offset + keyed);
    if (keyed > 0) std::memcpy(&digests_[offset], digests, keyed * sizeof(Digests));
    return true;
}

void CacheTable::Index() {
    // Entries read from the cache file come sorted; others are sorted here, and of
    // entries of one file only the last added stays.
    if (!std::is_sorted(entries_.begin(), entries_.end(), KeyBefore)) {
        std::stable_sort(entries_.begin(), entries_.end(), KeyBefore);
    }
    size_t kept = 0;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const bool repeated = i + 1 < entries_.size() && !KeyBefore(entries_[i], entries_[i + 1]);
        if (!repeated) entries_[kept++] = entries_[i];
    }
    entries_.resize(kept);
    std::vector<Key> samples;
    samples.reserve(kept / kBlock + 1);
    for (size_t i = 0; i < kept; i += kBlock) {
        samples.push_back(Key{entries_[i].facts.device, entries_[i].facts.inode});
    }
    samples_ = std::move(samples);
}

const CacheTable::Stored* CacheTable::Find(uint64_t device, uint64_t inode) const {
    // The block whose first entry is the last at or before the file, then within it.
    const Key key{device, inode};
    const auto after = std::upper_bound(samples_.begin(), samples_.end(), key);
    if (after == samples_.begin()) return nullptr;
    const size_t first = static_cast<size_t>(after - samples_.begin() - 1) * kBlock;
    const auto begin = entries_.begin() + static_cast<std::ptrdiff_t>(first);
    const auto end =
        entries_.begin() + static_cast<std::ptrdiff_t>(std::min(first + kBlock, entries_.size()));
    Stored probe;
    probe.facts.device = device;
    probe.facts.inode = inode;
    const auto at = std::lower_bound(begin, end, probe, KeyBefore);
    if (at == end || at->facts.device != device || at->facts.inode != inode) return nullptr;
    return &*at;
}

CacheEntry CacheTable::Expand(const Stored& stored) const {
    CacheEntry entry;
    entry.facts = stored.facts;
    entry.fingerprint = stored.fingerprint;
    entry.hasFingerprint = stored.hasFingerprint != 0;
    if (stored.keys != kNoKeys) {
        entry.hasKey = true;
        entry.key = digests_[stored.keys].key;
        entry.sha = digests_[stored.keys].sha;
    }
    return entry;
}

void CacheTable::Clear() {
    std::vector<Stored>().swap(entries_);
    std::vector<Digests>().swap(digests_);
    std::vector<Key>().swap(samples_);
}

}  // namespace merravine
