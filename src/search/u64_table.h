// A map from 64-bit hashes to 32-bit values in one open-addressing array, with no
// allocation per entry, for the large tables of a search. Keys are hashes the caller
// made; two inputs may share one, so a hit means "maybe the same". U64Table keeps the
// whole hash (12 bytes an entry); U32KeyTable keeps 32 bits of it (8 bytes an entry),
// for tables whose hits the caller checks anyway: one lookup in 2^32 / entries meets a
// stranger.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "util/hash_mix.h"

namespace merravine {

template <typename Stored>
class HashTable {
  public:
    /// The value stored for `key`, or stores `value` there; second is true when stored.
    std::pair<uint32_t*, bool> TryEmplace(uint64_t key, uint32_t value) {
        // Filled to three quarters at most: a probe stays short and the table small.
        if (4 * (count_ + 1) > 3 * keys_.size()) Grow();
        return Place(Fold(key), value);
    }
    size_t size() const { return count_; }
    /// Places the table holds (a power of two, or 0 before the first entry).
    size_t capacity() const { return keys_.size(); }

  private:
    // The part of the key kept, never 0 (which marks an empty place).
    static Stored Fold(uint64_t key) {
        Stored stored = 0;
        if constexpr (sizeof(Stored) == sizeof(uint64_t)) {
            stored = key;
        } else {
            stored = static_cast<Stored>(MixIn(0, key) >> 32);
        }
        return stored == 0 ? 1 : stored;
    }
    std::pair<uint32_t*, bool> Place(Stored stored, uint32_t value) {
        const size_t mask = keys_.size() - 1;
        for (size_t at = MixIn(0, stored) & mask;; at = (at + 1) & mask) {
            if (keys_[at] == stored) return {&values_[at], false};
            if (keys_[at] == 0) {
                keys_[at] = stored;
                values_[at] = value;
                ++count_;
                return {&values_[at], true};
            }
        }
    }
    void Grow() {
        std::vector<Stored> old_keys = std::move(keys_);
        std::vector<uint32_t> old_values = std::move(values_);
        const size_t places = old_keys.empty() ? 1024 : old_keys.size() * 2;
        keys_.assign(places, 0);
        values_.assign(places, 0);
        count_ = 0;
        for (size_t i = 0; i < old_keys.size(); ++i) {
            if (old_keys[i] != 0) Place(old_keys[i], old_values[i]);
        }
    }

    std::vector<Stored> keys_;
    std::vector<uint32_t> values_;
    size_t count_ = 0;
};

using U64Table = HashTable<uint64_t>;
using U32KeyTable = HashTable<uint32_t>;

}  // namespace merravine
