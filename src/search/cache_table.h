// The content cache's entries in memory, kept compact: 64 bytes an entry, with the two
// digests of a file read whole (64 bytes more) in a store of their own. Lookups search
// the entries sorted by device and inode, through every 32nd entry's key (a table that
// stays in the processor's cache) and then the 32 entries (2 KiB) of one block.
// The cache file holds the same records, byte for byte, in parts of a few thousand
// (content_cache.cpp), so reading it back is a copy.
// Written by one thread; once filled, any number of threads may look up.
#pragma once

#include <array>
#include <bit>
#include <compare>
#include <cstdint>
#include <vector>

#include "search/file_record.h"

namespace merravine {

/// A file as the walk saw it: what an entry must match.
struct FileFacts {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t pathHash = 0;
    FileLen size = 0;
    int64_t modifyNs = 0;
    int64_t changeNs = 0;

    bool operator==(const FileFacts&) const = default;
};

/// What an entry says about a file's content.
struct CacheEntry {
    FileFacts facts;
    uint64_t fingerprint = 0;
    bool hasFingerprint = false;
    bool hasKey = false;  ///< `key` and `sha` were computed from the whole content
    ContentKey key;
    ContentKey sha;
    bool seenToday = false;  ///< a scan met the file today (entries read from the file)
};

class CacheTable {
  public:
    static constexpr uint32_t kNoKeys = UINT32_MAX;

    /// An entry as held and as written (64 bytes, in this machine's byte order).
    struct Stored {
        FileFacts facts;
        uint64_t fingerprint = 0;
        uint32_t keys = kNoKeys;  ///< index into the digest store
        uint16_t seen = 0;        ///< the last day a scan met the file (days since 1970)
        uint8_t hasFingerprint = 0;
        uint8_t unused = 0;
    };
    /// The digests of a file read whole (64 bytes).
    struct Digests {
        ContentKey key;
        ContentKey sha;
    };

    /// Makes room for `entries` entries, `keyed` of them with digests, so that adding
    /// them neither doubles the store nor copies it.
    void Reserve(size_t entries, size_t keyed);
    /// Adds an entry met on day `seen`; returns where its digests went (kNoKeys: none).
    uint32_t Add(const CacheEntry& entry, uint16_t seen = 0);
    /// Adds an entry whose digests are those of the entry Add placed at `keys`.
    void AddSharing(const CacheEntry& entry, uint16_t seen, uint32_t keys);
    /// Adds `count` records as written (bytes of Stored, at any alignment), whose `keys`
    /// index the `keyed` Digests that follow them. False (and nothing added) when a
    /// record's digests are not among them.
    bool Append(const void* records, size_t count, const void* digests, size_t keyed);
    /// Sorts the entries added (keeping the last added of one file) and builds the
    /// lookup table over them (call once, after the last Add).
    void Index();
    /// The entry held for the file's device and inode, or null (after Index).
    const Stored* Find(uint64_t device, uint64_t inode) const;
    /// The whole entry of a stored one (its `seenToday` is left false).
    CacheEntry Expand(const Stored& stored) const;

    size_t size() const { return entries_.size(); }
    const std::vector<Stored>& entries() const { return entries_; }
    const std::vector<Digests>& digests() const { return digests_; }
    /// Hands every byte back.
    void Clear();

  private:
    static constexpr size_t kBlock = 32;
    struct Key {
        uint64_t device;
        uint64_t inode;
        auto operator<=>(const Key&) const = default;
    };
    std::vector<Stored> entries_;
    std::vector<Digests> digests_;
    std::vector<Key> samples_;  // the key of every kBlock-th entry
};

/// The order of entries in the cache file: by device, then inode.
inline bool KeyBefore(const CacheTable::Stored& a, const CacheTable::Stored& b) {
    return a.facts.device != b.facts.device ? a.facts.device < b.facts.device
                                            : a.facts.inode < b.facts.inode;
}

static_assert(sizeof(CacheTable::Stored) == 64);
static_assert(sizeof(CacheTable::Digests) == 64);
static_assert(std::endian::native == std::endian::little, "the cache file is little-endian");

}  // namespace merravine
