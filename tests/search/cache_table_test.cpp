// The cache's entries in memory: every entry is found by its device and inode (also
// when many share a lookup place), a file met twice keeps its last entry, digests go
// with the entry they belong to, and a cleared or empty table finds nothing.
#include "search/cache_table.h"

#include <gtest/gtest.h>

namespace merravine {
namespace {

CacheEntry EntryFor(uint64_t device, uint64_t inode, bool keyed) {
    CacheEntry entry;
    entry.facts = FileFacts{device, inode, inode * 7, 1000 + inode, 5, 6};
    entry.fingerprint = inode * 31 + device;
    entry.hasFingerprint = true;
    entry.hasKey = keyed;
    entry.key.bytes[0] = static_cast<uint8_t>(inode);
    entry.sha.bytes[1] = static_cast<uint8_t>(inode + 1);
    return entry;
}

TEST(CacheTable, FindsEveryEntryByDeviceAndInodeWithItsOwnDigests) {
    CacheTable table;
    EXPECT_EQ(table.Find(1, 1), nullptr) << "before Index";
    constexpr uint64_t kFiles = 5000;
    table.Reserve(2 * kFiles, kFiles);
    for (uint64_t inode = 1; inode <= kFiles; ++inode) {
        table.Add(EntryFor(7, inode, inode % 2 == 0));
        table.Add(EntryFor(8, inode, false));  // the same inode on another device
    }
    table.Index();
    for (uint64_t inode = 1; inode <= kFiles; ++inode) {
        for (const uint64_t device : {7u, 8u}) {
            const CacheTable::Stored* stored = table.Find(device, inode);
            ASSERT_NE(stored, nullptr) << device << " " << inode;
            const CacheEntry entry = table.Expand(*stored);
            const CacheEntry want = EntryFor(device, inode, device == 7 && inode % 2 == 0);
            EXPECT_EQ(entry.facts, want.facts);
            EXPECT_EQ(entry.fingerprint, want.fingerprint);
            ASSERT_EQ(entry.hasKey, want.hasKey);
            if (entry.hasKey) {
                EXPECT_EQ(entry.key, want.key);
                EXPECT_EQ(entry.sha, want.sha);
            }
        }
    }
    EXPECT_EQ(table.Find(9, 1), nullptr);
    EXPECT_EQ(table.Find(7, kFiles + 1), nullptr);
    table.Clear();
    EXPECT_EQ(table.Find(7, 2), nullptr);
    EXPECT_EQ(table.size(), 0u);
}

TEST(CacheTable, AFileMetTwiceKeepsItsLastEntry) {
    CacheTable table;
    CacheEntry older = EntryFor(1, 42, false);
    CacheEntry newer = EntryFor(1, 42, true);
    newer.facts.modifyNs = 99;
    table.Add(older);
    table.Add(newer, true);
    table.Index();
    const CacheTable::Stored* stored = table.Find(1, 42);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->facts.modifyNs, 99);
    EXPECT_TRUE(stored->seenToday);
    EXPECT_TRUE(table.Expand(*stored).hasKey);
}

}  // namespace
}  // namespace merravine
