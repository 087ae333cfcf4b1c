// The last stage of content reading: the content keys found, and which file has which.
//
// Only files whose key was needed have one; the files proven equal to a reference share
// its key rather than holding a copy. With the cache on, each key goes with the SHA-256
// of the same content, which is what the cache's equality rests on.
//
// The class knows nothing of threads: the pipeline that owns it calls it under its lock,
// and reads it without once its workers have stopped.
#pragma once

#include <cstdint>

#include "search/file_record.h"
#include "search/listing.h"

namespace merravine {

class KeyStore {
  public:
    static constexpr uint32_t kNone = UINT32_MAX;

    explicit KeyStore(bool withSha) : withSha_(withSha) {}

    /// Makes room for the next file taken in (files come with consecutive indices).
    void Add() { keyId_.push_back(kNone); }
    /// Gives file `index` its key (`sha` is kept only with the cache on).
    void Set(uint32_t index, const ContentKey& key, const ContentKey& sha) {
        keyId_[index] = static_cast<uint32_t>(keys_.size());
        keys_.push_back(key);
        if (withSha_) shas_.push_back(sha);
    }
    /// File `index` was proven equal to file `from`, which has a key: it shares it.
    void Share(uint32_t index, uint32_t from) { keyId_[index] = keyId_[from]; }
    bool Has(uint32_t index) const { return keyId_[index] != kNone; }
    /// Which of the keys found a file has (files proven equal have the same one).
    uint32_t IdOf(uint32_t index) const { return keyId_[index]; }
    /// How many different keys were found.
    size_t Count() const { return keys_.size(); }
    /// The key of a file that has one.
    const ContentKey& Key(uint32_t index) const { return keys_[keyId_[index]]; }
    /// The SHA-256 that goes with it (zero without the cache).
    ContentKey Sha(uint32_t index) const { return withSha_ ? shas_[keyId_[index]] : ContentKey{}; }

  private:
    const bool withSha_;
    ChunkedVector<uint32_t> keyId_;
    ChunkedVector<ContentKey> keys_;
    ChunkedVector<ContentKey> shas_;
};

}  // namespace merravine
