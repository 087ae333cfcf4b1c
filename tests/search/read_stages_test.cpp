// The stages of content reading fed by hand, one at a time: buckets by size and hard
// links, fingerprint matching (a short bucket searched and a crowded one through its
// table must agree), the comparison classes and their batches, and the balance that
// names the stage which lost a file - also in a whole search with a stage made to lose
// one.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "search/comparison_stage.h"
#include "search/fingerprint_stage.h"
#include "search/size_buckets.h"
#include "search/stage_balance.h"
#include "search_test_support.h"
#include "support/temp_dir.h"
#include "util/log_writer.h"

namespace merravine {
namespace {

using testing::TempDir;

struct FileIn {
    FileLen size;
    uint64_t device;
    uint64_t inode;
    uint32_t links;
};

std::vector<uint32_t> BucketOrder(const SizeBuckets& buckets, FileLen size) {
    std::vector<uint32_t> order;
    for (uint32_t at = buckets.Of(size).head; at != SizeBuckets::kNone; at = buckets.Next(at))
        order.push_back(at);
    return order;
}

// Files of one size follow each other in walk order; a later name of an inode with
// several links is an alias of its first name, but not when the device, the size or
// the link count tells them apart, and never for empty files.
TEST(SizeBucketsStage, WalkOrderAndHardLinkAliases) {
    const std::vector<FileIn> files = {
        {100, 1, 10, 2},  // 0: first name of inode 10
        {200, 1, 20, 1},  // 1
        {100, 1, 10, 2},  // 2: alias of 0
        {100, 2, 10, 2},  // 3: same inode number on another device
        {100, 1, 30, 1},  // 4: one link only
        {100, 1, 30, 1},  // 5: the same inode again with one link (a bind mount): not an alias
        {0, 1, 40, 2},    // 6: empty
        {0, 1, 40, 2},    // 7: empty, same inode
        {100, 1, 10, 2},  // 8: alias of 0 again
    };
    SizeBuckets buckets;
    for (uint32_t i = 0; i < files.size(); ++i)
        buckets.Add(i, files[i].size, files[i].device, files[i].inode, files[i].links);

    EXPECT_EQ(buckets.Taken(), files.size());
    EXPECT_EQ(BucketOrder(buckets, 100), (std::vector<uint32_t>{0, 2, 3, 4, 5, 8}));
    EXPECT_EQ(BucketOrder(buckets, 200), (std::vector<uint32_t>{1}));
    EXPECT_EQ(BucketOrder(buckets, 0), (std::vector<uint32_t>{6, 7}));
    EXPECT_EQ(buckets.Of(100).count, 6U);
    EXPECT_EQ(buckets.Of(200).count, 1U);
    const std::vector<uint32_t> primary = {0, 1, 0, 3, 4, 5, 6, 7, 0};
    for (uint32_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(buckets.Primary(i), primary[i]) << i;
        EXPECT_EQ(buckets.IsAlias(i), primary[i] != i) << i;
        EXPECT_EQ(buckets.HasAliases(i), i == 0) << i;
    }
    EXPECT_EQ(buckets.Aliases(), 2U);
}

// Many sizes, with sizes that collide in the buckets' table and a size of 0 among them,
// taken in across several growths of the table: every file stays in its own size's
// bucket in walk order, every size is visited once, and a size with no file is no bucket.
TEST(SizeBucketsStage, ManySizesKeepTheirBuckets) {
    SizeBuckets buckets;
    constexpr uint32_t kSizes = 5000;
    uint32_t index = 0;
    for (uint32_t round = 0; round < 3; ++round) {
        for (uint32_t s = 0; s < kSizes; ++s) {
            // Multiples of a power of two: sizes as files of whole blocks have them.
            buckets.Add(index, FileLen{s} * 4096, 1, 1000 + index, 1);
            ++index;
        }
    }
    for (uint32_t s = 0; s < kSizes; s += 97) {
        EXPECT_EQ(BucketOrder(buckets, FileLen{s} * 4096),
                  (std::vector<uint32_t>{s, s + kSizes, s + 2 * kSizes}))
            << s;
    }
    std::set<FileLen> visited;
    uint64_t files = 0;
    buckets.ForEach([&](FileLen size, const SizeBuckets::Bucket& bucket) {
        EXPECT_TRUE(visited.insert(size).second) << size;
        files += bucket.count;
    });
    EXPECT_EQ(visited.size(), kSizes);
    EXPECT_EQ(files, 3U * kSizes);
    EXPECT_THROW((void)buckets.Of(4097), std::out_of_range);
}

// Feeds the fingerprint stage as the first reads would: files become fingerprinted one
// after the other, each matched on arrival. Returns the files sent on to a whole read,
// and which files found a match on their own arrival.
struct MatchRun {
    std::set<uint32_t> sentOn;
    std::vector<bool> agreed;
};
MatchRun MatchInOrder(uint32_t scanLimit, const std::vector<FileLen>& sizes,
                      const std::vector<uint64_t>& prints) {
    SizeBuckets buckets;
    FingerprintStage stage(scanLimit);
    std::vector<bool> fingerprinted(sizes.size(), false);
    auto is_fingerprinted = [&](uint32_t file) { return static_cast<bool>(fingerprinted[file]); };
    for (uint32_t i = 0; i < sizes.size(); ++i) {
        buckets.Add(i, sizes[i], 1, 1000 + i, 1);
        stage.Add();
        stage.Grew(buckets, sizes[i], buckets.Of(sizes[i]), is_fingerprinted,
                   [](uint32_t) { FAIL() << "nothing is fingerprinted yet"; });
    }
    MatchRun run;
    for (uint32_t i = 0; i < sizes.size(); ++i) {
        stage.Set(i, prints[i]);
        fingerprinted[i] = true;
        const bool agrees =
            stage.Match(i, sizes[i], buckets, buckets.Of(sizes[i]), is_fingerprinted,
                        [&](uint32_t other) { run.sentOn.insert(other); });
        run.agreed.push_back(agrees);
        if (agrees) run.sentOn.insert(i);
    }
    return run;
}

// Whether a bucket is searched file by file or through the table, the same files go
// on; files of another size never match, whatever their fingerprint.
TEST(FingerprintStage, ShortAndCrowdedBucketsSendOnTheSameFiles) {
    const std::vector<FileLen> sizes = {100, 100, 100, 100, 100, 200, 100, 200};
    const std::vector<uint64_t> prints = {7, 8, 7, 9, 7, 9, 10, 8};
    const std::set<uint32_t> expected = {0, 2, 4};
    for (const uint32_t limit : {1U, 2U, 8U}) {
        const MatchRun run = MatchInOrder(limit, sizes, prints);
        EXPECT_EQ(run.sentOn, expected) << limit;
        EXPECT_EQ(run.agreed,
                  (std::vector<bool>{false, false, true, false, true, false, false, false}))
            << limit;
    }
}

// Two (size, fingerprint) pairs that meet in the table: their mixed keys are equal.
// Real fingerprints meet this way only by chance, but two of a million files' 32 bits
// kept do so many times at once.
struct TableTwins {
    FileLen secondSize = 0;
    uint64_t first = 12345;
    uint64_t second = 0;
};
TableTwins MakeTableTwins(FileLen firstSize) {
    TableTwins twins;
    for (twins.secondSize = firstSize + 1;; ++twins.secondSize) {
        twins.second = MixPair(firstSize, twins.first) ^ MixPair(twins.secondSize, 0);
        if ((twins.second >> 63) == 0) return twins;  // a first read's fingerprint
    }
}

// A bucket that grows into the table where a file of another size holds the place of
// one of its fingerprints: both files are sent on, so neither is missed when its own
// twin turns up later and finds the place shared.
TEST(FingerprintStage, AStrangerInTheTableIsSentOnWhenABucketGrows) {
    const TableTwins twins = MakeTableTwins(100);
    const FileLen other = twins.secondSize;
    ASSERT_EQ(MixPair(100, twins.first), MixPair(other, twins.second));
    SizeBuckets buckets;
    FingerprintStage stage(1);
    std::vector<bool> fingerprinted;
    std::set<uint32_t> sent;
    auto is_fingerprinted = [&](uint32_t file) { return static_cast<bool>(fingerprinted[file]); };
    auto send = [&](uint32_t file) { sent.insert(file); };
    auto add = [&](uint32_t index, FileLen size) {
        buckets.Add(index, size, 1, 1000 + index, 1);
        stage.Add();
        fingerprinted.push_back(false);
        stage.Grew(buckets, size, buckets.Of(size), is_fingerprinted, send);
    };
    auto fingerprint = [&](uint32_t index, FileLen size, uint64_t print) {
        stage.Set(index, print);
        fingerprinted[index] = true;
        if (stage.Match(index, size, buckets, buckets.Of(size), is_fingerprinted, send))
            sent.insert(index);
    };
    add(0, 100);
    fingerprint(0, 100, twins.first);
    add(1, 100);  // the bucket of 100 bytes goes into the table: file 0 holds a place
    add(2, other);
    fingerprint(2, other, twins.second);
    EXPECT_TRUE(sent.empty());
    add(3, other);  // file 2 meets file 0's place
    EXPECT_EQ(sent, (std::set<uint32_t>{0, 2}));
    fingerprint(1, 100, twins.first);  // the twins of files 0 and 2
    fingerprint(3, other, twins.second);
    EXPECT_EQ(sent, (std::set<uint32_t>{0, 1, 2, 3}));
}

// A file found to differ is refined by where it differs: two files refined alike match
// again, one refined otherwise does not, and the original fingerprint is no longer
// matched by either.
TEST(FingerprintStage, RefinedFilesAreMatchedByHowTheyDiffer) {
    for (const uint32_t limit : {1U, 8U}) {
        SizeBuckets buckets;
        FingerprintStage stage(limit);
        std::vector<bool> fingerprinted(4, false);
        auto is_fingerprinted = [&](uint32_t file) {
            return static_cast<bool>(fingerprinted[file]);
        };
        for (uint32_t i = 0; i < 4; ++i) {
            buckets.Add(i, 500, 1, i, 1);
            stage.Add();
            stage.Grew(buckets, 500, buckets.Of(500), is_fingerprinted,
                       [](uint32_t) { FAIL() << "nothing is fingerprinted yet"; });
        }
        for (uint32_t i = 0; i < 4; ++i) {
            stage.Set(i, 42);
            fingerprinted[i] = true;
        }
        EXPECT_FALSE(stage.Refined(1));
        stage.Refine(1, 0xabc);
        stage.Refine(2, 0xabc);
        stage.Refine(3, 0xdef);
        EXPECT_TRUE(stage.Refined(1));
        EXPECT_FALSE(stage.Refined(0));
        EXPECT_NE(stage.Of(1), 42U);
        EXPECT_EQ(stage.Of(1), stage.Of(2));
        EXPECT_NE(stage.Of(1), stage.Of(3));
        std::set<uint32_t> sent;
        auto send = [&](uint32_t other) { sent.insert(other); };
        for (const uint32_t file : {3U, 1U, 2U}) {
            if (stage.Match(file, 500, buckets, buckets.Of(500), is_fingerprinted, send))
                sent.insert(file);
        }
        EXPECT_EQ(sent, (std::set<uint32_t>{1, 2})) << limit;
        // A first read's fingerprint with every bit set is still not a refined one.
        stage.Set(0, ~uint64_t{0});
        EXPECT_FALSE(stage.Refined(0));
        EXPECT_TRUE(stage.Refined(3));
    }
}

// One job per class: queueing more files while a job waits asks for none; while the
// reference is digested nothing else runs, and the files queued meanwhile go in one
// batch by its key, beside which further batches may run.
TEST(ComparisonStage, BatchesAgainstOneReference) {
    ComparisonStage stage(2);
    const ClassKey key{1000, 5};
    EXPECT_TRUE(stage.NeedsReference(key));
    EXPECT_TRUE(stage.Queue(key, 10));
    EXPECT_FALSE(stage.Queue(key, 11));
    EXPECT_FALSE(stage.Queue(key, 12));
    EXPECT_FALSE(stage.Queue(key, 13));

    ComparisonBatch first;
    bool again = true;
    ASSERT_TRUE(stage.Take(key, first, again));
    EXPECT_FALSE(again);  // the reference is being digested
    EXPECT_TRUE(first.newReference);
    EXPECT_TRUE(first.digest);
    EXPECT_EQ(first.reference, 10U);
    EXPECT_EQ(first.members, (std::vector<uint32_t>{11, 12}));  // two per pass
    EXPECT_FALSE(stage.NeedsReference(key));
    EXPECT_FALSE(stage.Queue(key, 14));
    ComparisonBatch none;
    EXPECT_FALSE(stage.Take(key, none, again));

    EXPECT_TRUE(stage.Finish(key, first, false, true));  // keyed; 13 and 14 wait
    ComparisonBatch second;
    ASSERT_TRUE(stage.Take(key, second, again));
    EXPECT_FALSE(second.newReference);
    EXPECT_FALSE(second.digest);
    EXPECT_EQ(second.reference, 10U);
    EXPECT_EQ(second.members, (std::vector<uint32_t>{13, 14}));
    EXPECT_FALSE(again);
    EXPECT_EQ(stage.Waiting(), 0U);

    // By its key, further batches may run beside one still being read.
    EXPECT_TRUE(stage.Queue(key, 15));
    EXPECT_FALSE(stage.Queue(key, 16));
    EXPECT_FALSE(stage.Queue(key, 17));
    EXPECT_TRUE(stage.Queue(ClassKey{1000, 6}, 18));  // another class is another job
    ComparisonBatch third;
    ASSERT_TRUE(stage.Take(key, third, again));
    EXPECT_EQ(third.members, (std::vector<uint32_t>{15, 16}));
    EXPECT_TRUE(again);
    ComparisonBatch fourth;
    ASSERT_TRUE(stage.Take(key, fourth, again));
    EXPECT_EQ(fourth.members, (std::vector<uint32_t>{17}));
    EXPECT_FALSE(again);
    for (const ComparisonBatch* done : {&second, &third, &fourth})
        EXPECT_FALSE(stage.Finish(key, *done, false, false));
}

// A reference that cannot be read: its members go back to the front of the queue and
// the first of them becomes the next reference, digested again.
TEST(ComparisonStage, AnUnreadableReferenceIsReplacedByItsFirstMember) {
    ComparisonStage stage(32);
    const ClassKey key{64, 1};
    for (const uint32_t file : {1U, 2U, 3U}) (void)stage.Queue(key, file);
    ComparisonBatch batch;
    bool again = false;
    ASSERT_TRUE(stage.Take(key, batch, again));
    EXPECT_EQ(batch.reference, 1U);
    EXPECT_FALSE(stage.Queue(key, 4));  // waits for the digest
    EXPECT_TRUE(stage.Finish(key, batch, true, false));
    EXPECT_TRUE(stage.NeedsReference(key));
    ComparisonBatch next;
    ASSERT_TRUE(stage.Take(key, next, again));
    EXPECT_TRUE(next.newReference);
    EXPECT_TRUE(next.digest);
    EXPECT_EQ(next.reference, 2U);
    EXPECT_EQ(next.members, (std::vector<uint32_t>{3, 4}));
}

// A class whose reference nothing equalled is read again for its key alone once the key
// is wanted; when its key is known already, there is nothing to read. Files of 40 MiB
// go one member per pass.
TEST(ComparisonStage, KeyWantedAndLargeFiles) {
    ComparisonStage stage(32);
    const ClassKey key{40 << 20, 3};
    for (const uint32_t file : {1U, 2U, 3U}) (void)stage.Queue(key, file);
    ComparisonBatch batch;
    bool again = false;
    ASSERT_TRUE(stage.Take(key, batch, again));
    EXPECT_EQ(batch.members, (std::vector<uint32_t>{2}));
    EXPECT_TRUE(stage.Finish(key, batch, false, false));  // 3 waits; no member was equal
    ComparisonBatch rest;
    ASSERT_TRUE(stage.Take(key, rest, again));
    EXPECT_TRUE(rest.digest);  // the reference's key is still unknown
    EXPECT_EQ(rest.members, (std::vector<uint32_t>{3}));
    EXPECT_FALSE(stage.Finish(key, rest, false, false));

    EXPECT_TRUE(stage.WantKey(key));
    ComparisonBatch alone;
    ASSERT_TRUE(stage.Take(key, alone, again));
    EXPECT_TRUE(alone.digest);
    EXPECT_TRUE(alone.members.empty());
    EXPECT_EQ(alone.reference, 1U);
    EXPECT_FALSE(stage.Finish(key, alone, false, true));
    EXPECT_TRUE(stage.WantKey(key));
    ComparisonBatch known;
    EXPECT_FALSE(stage.Take(key, known, again));  // keyed now: nothing to read
}

// The log of the process, written to a file of the test's own while it runs.
class LogCapture {
  public:
    LogCapture() {
        saved_ = TheLogWriter().Level();
        TheLogWriter().SetLevel(1);
        EXPECT_TRUE(TheLogWriter().OpenLog((dir_.Path() / "test.log").string()));
    }
    ~LogCapture() {
        TheLogWriter().OpenLog("");
        TheLogWriter().SetLevel(saved_);
    }
    std::string Text() const { return dir_.Read("test.log"); }

  private:
    TempDir dir_;
    int32_t saved_ = 0;
};

// Accounts that close pass; a stage that took in a file it neither gave out nor holds
// is named, and so is one that gave out a file twice.
TEST(StageBalance, NamesTheStageWhoseAccountDoesNotClose) {
    StageBalance balance;
    for (int i = 0; i < 5; ++i) balance.In(Stage::Sizes);
    balance.Out(Stage::Sizes);  // an empty file
    for (int i = 0; i < 3; ++i) balance.Move(Stage::Sizes, Stage::FirstReads);
    for (int i = 0; i < 3; ++i) balance.Move(Stage::FirstReads, Stage::Fingerprints);
    balance.Move(Stage::Fingerprints, Stage::Comparison);
    balance.Move(Stage::Fingerprints, Stage::Comparison);
    balance.Out(Stage::Comparison);
    // Held at the end: one file alone in its size, one Distinct, one reference.
    const StageBalance::Counts held = {1, 0, 1, 1};
    EXPECT_EQ(balance.Check(held), 0U);

    LogCapture log;
    StageBalance lost = balance;
    lost.Move(Stage::Sizes, Stage::FirstReads);  // a first read never published
    lost.In(Stage::Sizes);
    EXPECT_EQ(lost.Check(held), 1U);
    StageBalance twice = balance;
    twice.Out(Stage::Comparison);
    EXPECT_EQ(twice.Check(held), 1U);
    const std::string text = log.Text();
    EXPECT_NE(text.find("the first reads stage took in 4 files but gave out 3 and holds 0"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("the whole comparison stage took in 2 files but gave out 2 and holds 1"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("size buckets stage"), std::string::npos) << text;
}

// A whole search in which a stage loses a file: the log names that stage, and only it.
TEST(StageBalance, ASearchNamesTheStageThatLostAFile) {
    struct Case {
        ReadStage lose;
        const char* named;
        const char* other;
    };
    for (const Case c :
         {Case{ReadStage::FirstRead, "first reads stage", "whole comparison stage"},
          Case{ReadStage::Comparison, "whole comparison stage", "first reads stage"}}) {
        TempDir dir;
        const std::string r = dir.Path().string();
        for (const char* name : {"/a", "/b", "/lost"}) testing::WritePattern(r + name, 50000, 4);
        testing::WritePattern(r + "/c", 900, 1);
        SearchEngine engine;
        engine.settings = testing::SettingsFor({r});
        engine.SetStageFaultHook([lose = c.lose](ReadStage at, const std::string& path) {
            return at == lose && path.ends_with("/lost");
        });
        LogCapture log;
        ASSERT_TRUE(StartSearch(engine));
        WaitForSearch(engine);
        EXPECT_GE(engine.unbalancedNumber.load(), 1) << c.named;
        const std::string text = log.Text();
        EXPECT_NE(text.find(c.named), std::string::npos) << text;
        EXPECT_EQ(text.find(c.other), std::string::npos) << text;
    }
}

// Small files compared whole, many at a time: copies in classes larger than one
// batch still form their sets, and files changed between their first read and their
// comparison (shrunk, grown, or a FIFO or a folder now at the name) are unreadable,
// whether they are a class's reference or a member, with every file accounted for.
TEST(ComparisonStage, SmallClassesReadTogetherTellChangedFilesApart) {
    TempDir dir;
    const std::string r = dir.Path().string();
    constexpr size_t kSize = 20000;
    std::set<std::set<std::string>> expected;
    std::set<std::string> many;
    for (int i = 0; i < 40; ++i) many.insert(r + "/many/" + std::to_string(i));
    for (const std::string& path : many) testing::WritePattern(path, kSize, 1);
    expected.insert(many);
    unsigned seed = 2;
    for (const char* changed : {"shrank", "grew", "fifo", "folder"}) {
        std::set<std::string> set;
        for (const char* name : {"/a", "/b", "/c"}) set.insert(r + "/" + changed + name);
        for (const std::string& path : set) testing::WritePattern(path, kSize, seed);
        testing::WritePattern(r + "/" + changed + "/changed", kSize, seed++);
        expected.insert(set);
    }
    const auto change = [](const std::string& path) {
        const std::filesystem::path at(path);
        const std::string kind = at.parent_path().filename().string();
        std::filesystem::remove(at);
        if (kind == "shrank") testing::WritePattern(at, kSize - 1, 2);
        if (kind == "grew") testing::WritePattern(at, kSize + 1, 3);
        if (kind == "fifo") mkfifo(path.c_str(), 0600);
        if (kind == "folder") std::filesystem::create_directory(at);
    };
    SearchEngine engine;
    engine.settings = testing::SettingsFor({r});
    engine.SetStageFaultHook([&](ReadStage at, const std::string& path) {
        if (at == ReadStage::FirstRead && path.ends_with("/changed")) change(path);
        return false;
    });
    testing::RunSearchToEnd(engine);
    EXPECT_EQ(testing::Unordered(testing::DeliveredSets(engine)), expected);
    EXPECT_EQ(engine.unreadableNumber.load(), 4);
    EXPECT_EQ(engine.unbalancedNumber.load(), 0);
}

}  // namespace
}  // namespace merravine
