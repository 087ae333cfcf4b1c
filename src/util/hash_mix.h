// 64-bit hash mixing for the program's hash tables and fingerprints (not cryptographic:
// a collision only costs a lookup or a whole read, never a wrong result).
#pragma once

#include <cstdint>

namespace merravine {

/// 2^64 divided by the golden ratio: an odd multiplier whose product spreads every input
/// bit over the high bits.
inline constexpr uint64_t kGoldenGamma = 0x9E3779B97F4A7C15ULL;

/// Mixes `word` into `state` with one multiply and an xor-shift that brings the high bits
/// down, so the low bits of the result depend on every bit of both.
constexpr uint64_t MixIn(uint64_t state, uint64_t word) {
    state = (state ^ word) * kGoldenGamma;
    return state ^ (state >> 29);
}

/// A cheap hash of two words for unordered containers, which spread the result further.
constexpr uint64_t MixPair(uint64_t first, uint64_t second) { return first * kGoldenGamma ^ second; }

}  // namespace merravine
