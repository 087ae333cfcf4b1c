// The listing's stores: chunked growth, contiguous names with their lengths, the
// compact entry, and the time fields of records.
#include "search/listing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "search/file_record.h"

namespace merravine {
namespace {

// Small chunks (the chunk table is sized for 2^32 elements, so not too small).
TEST(ChunkedVectorTest, GrowsAcrossChunksAndRegrowsAfterClear) {
    ChunkedVector<std::string, 10> strings;  // 1024 elements a chunk
    constexpr size_t kCount = 2500;
    for (size_t i = 0; i < kCount; ++i) ASSERT_TRUE(strings.push_back(std::to_string(i)));
    ASSERT_EQ(strings.size(), kCount);
    for (size_t i = 0; i < kCount; ++i) ASSERT_EQ(strings[i], std::to_string(i));

    strings.pop_back();
    ASSERT_TRUE(strings.push_back("last again"));
    EXPECT_EQ(strings[kCount - 1], "last again");

    strings.Clear();
    EXPECT_EQ(strings.size(), 0U);
    for (size_t i = 0; i < 1030; ++i) ASSERT_TRUE(strings.push_back("again " + std::to_string(i)));
    EXPECT_EQ(strings[1029], "again 1029");
    EXPECT_EQ(strings[0], "again 0");
}

TEST(ChunkedVectorTest, ReleasedChunksLeaveTheRestReadableAndGrowing) {
    ChunkedVector<std::string, 10> strings;  // 1024 elements a chunk
    for (size_t i = 0; i < 3000; ++i) ASSERT_TRUE(strings.push_back(std::to_string(i)));
    strings.ReleaseBefore(1000);  // inside the first chunk: nothing goes
    EXPECT_EQ(strings[0], "0");
    strings.ReleaseBefore(2100);  // the first two chunks go
    EXPECT_EQ(strings.size(), 3000U);
    EXPECT_EQ(strings[2048], "2048");
    EXPECT_EQ(strings[2999], "2999");
    for (size_t i = 3000; i < 4200; ++i) ASSERT_TRUE(strings.push_back(std::to_string(i)));
    EXPECT_EQ(strings[4199], "4199");
    strings.ReleaseBefore(4200);
    strings.Clear();  // frees what is left once (the sanitizers check)
    ASSERT_TRUE(strings.push_back("fresh"));
    EXPECT_EQ(strings[0], "fresh");
}

TEST(ChunkedVectorTest, ContiguousRunsNeverStraddleAChunk) {
    ChunkedVector<char, 10> bytes;  // 1024 bytes a chunk
    const std::string filler(1020, 'z');
    const size_t first = bytes.AppendContiguous(filler.data(), filler.size());
    EXPECT_EQ(first, 0U);
    // Four bytes are left in the first chunk: a run of three and two moves on.
    const size_t second = bytes.AppendContiguous("fgh", 3, "ij", 2);
    EXPECT_EQ(second, 1024U);
    EXPECT_EQ(std::string(bytes.Contiguous(second), 5), "fghij");
    // One that fits exactly stays.
    const std::string rest(1019, 'y');
    const size_t third = bytes.AppendContiguous(rest.data(), rest.size());
    EXPECT_EQ(third, 1029U);
    EXPECT_EQ(bytes.size(), 2048U);
    // A run longer than a chunk cannot be held in one piece.
    const std::string half(600, 'x');
    EXPECT_EQ(bytes.AppendContiguous(half.data(), half.size(), half.data(), half.size()), SIZE_MAX);
    EXPECT_EQ(std::string(bytes.Contiguous(first), 4), "zzzz");
}

constexpr size_t kNameChunk = decltype(Listing::names)::kChunkSize;

TEST(ListingTest, NamesOfEveryLengthReadBackAcrossChunks) {
    Listing listing;
    ASSERT_TRUE(listing.folders.push_back("/f/"));
    // Lengths around the one-, two- and three-byte length marks, and enough bytes to
    // fill several chunks of the name store.
    std::vector<size_t> lengths = {1, 2, 126, 127, 128, 129, 255, 16383, 16384, 40000};
    for (size_t i = 0; i < 400; ++i) lengths.push_back(100 + (i * 37) % 900);
    std::vector<FileEntry> entries;
    for (size_t i = 0; i < lengths.size(); ++i) {
        std::string name(lengths[i], static_cast<char>('a' + i % 26));
        name.back() = '#';
        const size_t offset = listing.AddName(name);
        ASSERT_NE(offset, SIZE_MAX) << lengths[i];
        FileEntry entry;
        entry.nameOffset = static_cast<uint32_t>(offset);
        entries.push_back(entry);
    }
    ASSERT_GT(listing.names.size(), 3 * kNameChunk);
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string_view name = listing.Name(entries[i]);
        ASSERT_EQ(name.size(), lengths[i]) << i;
        if (name.size() > 1) {
            EXPECT_EQ(name.front(), static_cast<char>('a' + i % 26));
        }
        EXPECT_EQ(name.back(), '#');
    }
    EXPECT_EQ(listing.FullPath(entries[3]), "/f/" + std::string(126, 'd') + "#");
    // A name that cannot fit one chunk with its length is refused, not cut.
    EXPECT_EQ(listing.AddName(std::string(kNameChunk, 'x')), SIZE_MAX);
}

TEST(ListingTest, EntryKeepsEveryFieldApartInSixteenBytes) {
    static_assert(sizeof(FileEntry) == 16);
    FileEntry entry;
    entry.size = FileEntry::kMaxSize;
    entry.kind = 32;
    entry.flags = 1;
    entry.folder = UINT32_MAX;
    entry.nameOffset = 7;
    EXPECT_EQ(entry.size, (FileLen{1} << 56) - 1);
    EXPECT_EQ(entry.kind, 32U);
    EXPECT_EQ(entry.flags, 1U);
    entry.size = 0;
    EXPECT_EQ(entry.kind, 32U);
    EXPECT_EQ(entry.flags, 1U);
    entry.kind = 0;
    EXPECT_EQ(entry.flags, 1U);
    EXPECT_EQ(entry.folder, UINT32_MAX);
}

TEST(RecordTimeTest, TextsRoundTripAndOnlyDecimalsAreTimes) {
    for (const int64_t seconds : {int64_t{0}, int64_t{1733790000}, int64_t{-86400},
                                  int64_t{INT64_MAX}, int64_t{INT64_MIN + 1}}) {
        EXPECT_EQ(TimeFromText(TimeText(seconds)), seconds);
    }
    EXPECT_EQ(TimeText(kNoTime), "");
    EXPECT_EQ(TimeFromText(""), kNoTime);
    for (const char* text : {"abc", "12x", " 12", "1.5", "99999999999999999999", "+"}) {
        EXPECT_EQ(TimeFromText(text), kNoTime) << text;
    }
}

}  // namespace
}  // namespace merravine
