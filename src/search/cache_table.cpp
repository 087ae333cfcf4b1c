#include "search/cache_table.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "util/hash_mix.h"

namespace merravine {
namespace {

size_t PlaceOf(uint64_t device, uint64_t inode, size_t mask) {
    return static_cast<size_t>(MixIn(MixIn(0, device), inode)) & mask;
}

}  // namespace

void CacheTable::Reserve(size_t entries, size_t keyed) {
    entries_.reserve(entries);
    digests_.reserve(keyed);
}

void CacheTable::Add(const CacheEntry& entry, uint16_t seen) {
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
    // At most half full, so a lookup that misses ends after a probe or two.
    const size_t places = std::bit_ceil(std::max<size_t>(2 * entries_.size(), 16));
    places_.assign(places, 0);
    const size_t mask = places - 1;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const FileFacts& facts = entries_[i].facts;
        size_t at = PlaceOf(facts.device, facts.inode, mask);
        while (places_[at] != 0) {
            const FileFacts& there = entries_[places_[at] - 1].facts;
            if (there.device == facts.device && there.inode == facts.inode) break;  // a repeat
            at = (at + 1) & mask;
        }
        places_[at] = static_cast<uint32_t>(i + 1);  // a repeated file keeps its last entry
    }
}

const CacheTable::Stored* CacheTable::Find(uint64_t device, uint64_t inode) const {
    if (places_.empty()) return nullptr;
    const size_t mask = places_.size() - 1;
    for (size_t at = PlaceOf(device, inode, mask); places_[at] != 0; at = (at + 1) & mask) {
        const Stored& stored = entries_[places_[at] - 1];
        if (stored.facts.device == device && stored.facts.inode == inode) return &stored;
    }
    return nullptr;
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
    std::vector<uint32_t>().swap(places_);
}

}  // namespace merravine
