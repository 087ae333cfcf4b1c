// The content cache's entries in memory, kept compact: 64 bytes an entry, with the two
// digests of a file read whole (64 bytes more) in a store of their own, and a table of
// 32-bit places over them (open addressing by device and inode) for the lookups.
// Written by one thread; once filled, any number of threads may look up.
#pragma once

#include <array>
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

    /// An entry as held (64 bytes).
    struct Stored {
        FileFacts facts;
        uint64_t fingerprint = 0;
        uint32_t keys = kNoKeys;  ///< index into the digest store
        bool hasFingerprint = false;
        bool seenToday = false;  ///< a scan met the file today: no need to mark it again
    };

    /// Makes room for `entries` entries, `keyed` of them with digests, so that adding
    /// them neither doubles the store nor copies it.
    void Reserve(size_t entries, size_t keyed);
    void Add(const CacheEntry& entry, bool seenToday = false);
    /// Builds the lookup table over the entries added (call once, after the last Add).
    void Index();
    /// The entry held for the file's device and inode, or null (after Index).
    const Stored* Find(uint64_t device, uint64_t inode) const;
    /// The whole entry of a stored one.
    CacheEntry Expand(const Stored& stored) const;

    size_t size() const { return entries_.size(); }
    const std::vector<Stored>& entries() const { return entries_; }
    /// Hands every byte back.
    void Clear();

  private:
    struct Digests {
        ContentKey key;
        ContentKey sha;
    };
    std::vector<Stored> entries_;
    std::vector<Digests> digests_;
    std::vector<uint32_t> places_;  // entry index + 1; 0 is an empty place
};

static_assert(sizeof(CacheTable::Stored) == 64);

}  // namespace merravine
