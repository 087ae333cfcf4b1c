// A map from 64-bit hashes to 32-bit values in one open-addressing array: 12 bytes an
// entry and no allocation per entry, for the large tables of a search. Keys are hashes
// the caller made; two inputs may share one, so a hit means "maybe the same".
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "util/hash_mix.h"

namespace merravine {

class U64Table {
public:
    /// The value stored for `key`, or stores `value` there; second is true when stored.
    std::pair<uint32_t*, bool> TryEmplace(uint64_t key, uint32_t value) {
        // Filled to three quarters at most: a probe stays short and the table small.
        if (4 * (count_ + 1) > 3 * keys_.size()) Grow();
        const uint64_t stored = key == 0 ? 1 : key;  // 0 marks an empty place
        const size_t mask = keys_.size() - 1;
        for (size_t at = Spread(stored) & mask;; at = (at + 1) & mask) {
            if (keys_[at] == stored) return {&values_[at], false};
            if (keys_[at] == 0) {
                keys_[at] = stored;
                values_[at] = value;
                ++count_;
                return {&values_[at], true};
            }
        }
    }
    size_t size() const { return count_; }

private:
    static uint64_t Spread(uint64_t key) { return MixIn(0, key); }
    void Grow() {
        std::vector<uint64_t> old_keys = std::move(keys_);
        std::vector<uint32_t> old_values = std::move(values_);
        const size_t places = old_keys.empty() ? 1024 : old_keys.size() * 2;
        keys_.assign(places, 0);
        values_.assign(places, 0);
        count_ = 0;
        for (size_t i = 0; i < old_keys.size(); ++i) {
            if (old_keys[i] != 0) TryEmplace(old_keys[i], old_values[i]);
        }
    }

    std::vector<uint64_t> keys_;
    std::vector<uint32_t> values_;
    size_t count_ = 0;
};

}  // namespace merravine
