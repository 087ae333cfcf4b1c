// The open-addressing tables of a search: growth, and keys that crowd one place.
#include "search/u64_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <type_traits>
#include <vector>

namespace merravine {
namespace {

template <typename Table>
class HashTableTest : public ::testing::Test {};
using Tables = ::testing::Types<U64Table, U32KeyTable>;
TYPED_TEST_SUITE(HashTableTest, Tables);

TYPED_TEST(HashTableTest, EveryEntrySurvivesGrowth) {
    TypeParam table;
    constexpr uint32_t kCount = 200000;
    std::vector<bool> stored(kCount);
    uint32_t strangers = 0;  // keys that met another's hash: "maybe the same"
    for (uint32_t i = 0; i < kCount; ++i) {
        const auto [value, added] = table.TryEmplace(MixIn(7, i), i);
        stored[i] = added;
        if (!added) ++strangers;
        ASSERT_EQ(*value, added ? i : *value);
    }
    // 64-bit hashes of distinct inputs never meet here; 32 bits of 200,000 of them meet
    // about five times (the birthday bound).
    EXPECT_LE(strangers, 30U);
    if (std::is_same_v<TypeParam, U64Table>) {
        EXPECT_EQ(strangers, 0U);
    }
    EXPECT_EQ(table.size(), kCount - strangers);
    EXPECT_LE(4 * table.size(), 3 * table.capacity());  // grown, and no fuller than 3/4
    for (uint32_t i = 0; i < kCount; ++i) {
        const auto [value, added] = table.TryEmplace(MixIn(7, i), kCount + i);
        ASSERT_FALSE(added) << i;
        if (stored[i]) {
            ASSERT_EQ(*value, i) << i;  // the first value stays
        } else {
            ASSERT_LT(*value, i) << i;  // the earlier key it met
        }
    }
}

TYPED_TEST(HashTableTest, KeysOfOnePlaceProbeOnAndStayApart) {
    TypeParam table;
    // Keys that differ only in bits above those a 1024-place table indexes by, and
    // key 0, which is held like 1 (0 marks an empty place).
    for (uint32_t i = 0; i < 600; ++i) {
        ASSERT_TRUE(table.TryEmplace((uint64_t{i} << 40) | 0x5, i).second) << i;
    }
    ASSERT_TRUE(table.TryEmplace(0, 9999).second);
    const auto [zero, stored] = table.TryEmplace(0, 8888);
    EXPECT_FALSE(stored);
    EXPECT_EQ(*zero, 9999U);
    for (uint32_t i = 0; i < 600; ++i) {
        EXPECT_EQ(*table.TryEmplace((uint64_t{i} << 40) | 0x5, 0).first, i);
    }
    // A value changed through the returned pointer is what the next lookup sees.
    *table.TryEmplace((uint64_t{3} << 40) | 0x5, 0).first = UINT32_MAX;
    EXPECT_EQ(*table.TryEmplace((uint64_t{3} << 40) | 0x5, 0).first, UINT32_MAX);
}

}  // namespace
}  // namespace merravine
