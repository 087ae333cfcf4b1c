// The count of names made ahead of the walk: it must agree with what the walk itself
// examines under every filter, or the remaining time of a first scan goes wrong; and a
// search that makes it finds what one without it finds.
#include "search/name_count.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <stop_token>

#include "search/walker.h"
#include "search_test_support.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

using testing::TempDir;

// Folders with files, the entries each filter leaves out, a link to a folder, a FIFO,
// and a chain of folders deeper than the count keeps open.
void BuildTree(const std::filesystem::path& root) {
    for (int f = 0; f < 6; ++f) {
        const auto folder = root / ("f" + std::to_string(f));
        for (int i = 0; i < 4; ++i)
            testing::WritePattern(
                folder / ("s" + std::to_string(i % 2)) / ("n" + std::to_string(i) + ".bin"), 64,
                static_cast<unsigned>(i));
        testing::WritePattern(folder / ".hidden/h.bin", 50, 1);
        testing::WritePattern(folder / ".h.txt", 50, 2);
        testing::WritePattern(folder / "$RECYCLE.BIN/r.bin", 50, 3);
    }
    std::filesystem::create_directory_symlink(root / "f1", root / "f2/link");
    ASSERT_EQ(mkfifo((root / "f3/fifo").c_str(), 0600), 0);
    auto deep = root / "deep";
    for (int level = 0; level < 45; ++level) {
        deep /= "d" + std::to_string(level % 3);
        testing::WritePattern(deep / "x.bin", 10 + level % 4, 7);
    }
}

uint64_t NamesTheWalkExamines(const SearchSettings& settings) {
    SearchEngine engine;
    engine.settings = settings;
    testing::RunSearchToEnd(engine);
    return engine.namesListed.load();
}

TEST(NameCount, CountsWhatTheWalkExaminesUnderEveryFilter) {
    TempDir dir;
    const auto& root = dir.Path();
    BuildTree(root);
    SearchSettings all = testing::SettingsFor({root.string()});
    SearchSettings filtered = testing::SettingsFor(
        {root.string(), (root / "f3").string(), (root / "f1/s0").string(), root.string()});
    filtered.skipflag = FILE_SKIP_HIDE | FILE_SKIP_RECYCLE | FILE_SKIP_SYSTEM;
    filtered.excludeDirs = {(root / "f4").string(), (root / "deep/d0/d1").string()};
    filtered.usemin = 1;  // a size filter leaves files out after they are examined
    filtered.minsize = 60;

    for (const auto* settings : {&all, &filtered}) {
        const uint64_t walked = NamesTheWalkExamines(*settings);
        ASSERT_GT(walked, 30U);
        EXPECT_EQ(CountNamesAhead(BuildWalkFilters(*settings), settings->searchDirs, {}), walked);
    }
    EXPECT_LT(NamesTheWalkExamines(filtered), NamesTheWalkExamines(all));

    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_EQ(CountNamesAhead(BuildWalkFilters(all), all.searchDirs, stopped.get_token()), 0U);
}

TEST(NameCount, ASearchThatCountsAheadFindsTheSameSets) {
    TempDir dir;
    const auto& root = dir.Path();
    BuildTree(root);
    SearchEngine plain;
    plain.settings = testing::SettingsFor({root.string()});
    testing::RunSearchToEnd(plain);
    for (int walk_threads : {1, 3}) {
        SearchEngine counting;
        counting.settings = plain.settings;
        counting.tuning.countNamesAhead = true;
        counting.tuning.walkThreads = walk_threads;
        testing::RunSearchToEnd(counting);
        EXPECT_EQ(testing::DeliveredSets(counting), testing::DeliveredSets(plain));
        EXPECT_EQ(counting.namesListed.load(), plain.namesListed.load());
        // Made in full, or stopped by the walk's end before it was: never another number.
        const uint64_t ahead = counting.namesAhead.load();
        EXPECT_TRUE(ahead == 0 || ahead == plain.namesListed.load()) << ahead;
    }
}

}  // namespace
}  // namespace merravine
