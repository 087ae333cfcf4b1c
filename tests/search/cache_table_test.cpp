// The cache's entries in memory: every entry is found by its device and inode (also
// when many share a lookup place), a file met twice keeps its last entry, digests go
// with the entry they belong to, and a cleared or empty table finds nothing.
#include "search/cache_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

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
    table.Add(newer, 20000);
    table.Index();
    const CacheTable::Stored* stored = table.Find(1, 42);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->facts.modifyNs, 99);
    EXPECT_EQ(stored->seen, 20000);
    EXPECT_TRUE(table.Expand(*stored).hasKey);
}

// Records as the cache file holds them: each part's digests follow its own records,
// and a part whose records point past its digests is refused whole.
TEST(CacheTable, AppendedPartsKeepTheirOwnDigests) {
    CacheTable written;
    for (uint64_t inode = 1; inode <= 6; ++inode) written.Add(EntryFor(3, inode, inode % 2 == 1));
    CacheTable read;
    // Two parts of three records each, at an odd address as a blob may be.
    std::vector<unsigned char> bytes(1 + 3 * sizeof(CacheTable::Stored));
    for (size_t first : {0u, 3u}) {
        std::vector<CacheTable::Stored> records(written.entries().begin() + first,
                                                written.entries().begin() + first + 3);
        std::vector<CacheTable::Digests> digests;
        for (CacheTable::Stored& record : records) {
            if (record.keys == CacheTable::kNoKeys) continue;
            digests.push_back(written.digests()[record.keys]);
            record.keys = static_cast<uint32_t>(digests.size() - 1);
        }
        std::memcpy(bytes.data() + 1, records.data(), 3 * sizeof(CacheTable::Stored));
        ASSERT_TRUE(read.Append(bytes.data() + 1, 3, digests.data(), digests.size()));
    }
    CacheTable::Stored stray = written.entries()[0];
    stray.keys = 5;
    CacheTable::Digests one{};
    EXPECT_FALSE(read.Append(&stray, 1, &one, 1));
    ASSERT_EQ(read.size(), 6u);
    read.Index();
    for (uint64_t inode = 1; inode <= 6; ++inode) {
        const CacheTable::Stored* stored = read.Find(3, inode);
        ASSERT_NE(stored, nullptr);
        const CacheEntry entry = read.Expand(*stored);
        const CacheEntry want = EntryFor(3, inode, inode % 2 == 1);
        EXPECT_EQ(entry.facts, want.facts);
        ASSERT_EQ(entry.hasKey, want.hasKey) << inode;
        if (entry.hasKey) {
            EXPECT_EQ(entry.sha, want.sha) << inode;
        }
    }
}

}  // namespace
}  // namespace merravine
