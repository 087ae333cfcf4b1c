// The search against a brute-force reference: random trees from fixed seeds (twins,
// near twins differing in the first, a middle or the last byte, empty files, sizes
// around the key and block limits, hidden folders, odd names, hard and symbolic
// links). Every configuration must find exactly the sets of identical plain files,
// in the same delivery order: one or several hash workers, one or several walk
// threads, small or large buffers, and a pause with a resume in the middle.
#include <gtest/gtest.h>

#include <random>

#include "search/search_commands.h"
#include "search_test_support.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

using testing::DeliveredSets;
using testing::TempDir;

void BuildRandomTree(const std::filesystem::path& root, unsigned seed) {
    std::mt19937 random(seed);
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    const std::vector<std::string> folders = {
        "",          "a",   "a/b",     "a/b/c",   ".hidden",
        ".hidden/x", "d e", "q\"uote", "bad\xff", "deep/1/2/3/4/5/6/7/8"};
    const std::vector<size_t> sizes = {0,  1,   2,    31,   32,   33,   63,    64,
                                       65, 200, 4095, 4096, 4097, 8193, 20000, 70001};
    std::vector<std::filesystem::path> written;
    for (int i = 0; i < 160; ++i) {
        const std::filesystem::path path =
            root / folders[pick(folders.size())] /
            ("f" + std::to_string(i) + (i % 5 == 0 ? ".TXT" : ".bin"));
        const size_t size = sizes[pick(sizes.size())];
        const unsigned content =
            static_cast<unsigned>(pick(4));  // few contents per size: many twins
        size_t flip = SIZE_MAX;
        if (size > 0 && pick(3) == 0) {
            const size_t where[] = {0, size / 2, size - 1};
            flip = where[pick(3)];
        }
        testing::WritePattern(path, size, content, flip);
        written.push_back(path);
    }
    for (int i = 0; i < 6; ++i) {
        const auto& target = written[pick(written.size())];
        std::filesystem::create_hard_link(target, root / ("hard" + std::to_string(i)));
        std::filesystem::create_symlink(target, root / "a" / ("sym" + std::to_string(i)));
    }
    std::filesystem::create_directory_symlink(root, root / "a/b/loop");
}

struct Config {
    const char* what;
    int threads;
    size_t buffer;
    size_t prefix;
    bool pause;
    uint32_t walkLimit = 64;
    std::string cache = {};  ///< content-key cache file, or none
    int walkThreads = 1;
    DiskOrder diskOrder = DiskOrder::Never;
    size_t maxQueuedJobs = 16384;  ///< reads queued at which the walk waits
};

std::vector<std::vector<std::string>> Search(const std::filesystem::path& root,
                                             const Config& config) {
    SearchEngine engine;
    engine.settings = testing::SettingsFor({root.string()});
    engine.tuning.hashThreads = config.threads;
    engine.tuning.readBufferSize = config.buffer;
    engine.tuning.prefixSize = config.prefix;
    engine.tuning.bucketWalkLimit = config.walkLimit;
    engine.tuning.cachePath = config.cache;
    engine.tuning.walkThreads = config.walkThreads;
    engine.tuning.diskOrder = config.diskOrder;
    engine.tuning.maxQueuedJobs = config.maxQueuedJobs;
    std::mutex mutex;
    std::condition_variable changed;
    int opens = 0;
    bool paused = false;
    bool resumed = false;
    if (config.pause) {
        engine.SetIoFaultHook([&](const std::string&, IoStep step) {
            if (step != IoStep::Open) return 0;
            std::unique_lock lock(mutex);
            if (++opens == 5) {
                PauseSearch(engine);
                paused = true;
                changed.notify_all();
            }
            return 0;
        });
    }
    EXPECT_EQ(BeginSearch(engine), ScriptValue::Int(0));
    if (config.pause) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return paused; });
        EXPECT_EQ(engine.state.load(), W_PAUSE);
        ResumeSearch(engine);
        resumed = true;
    }
    WaitForSearch(engine);
    EXPECT_EQ(engine.state.load(), W_READY);
    EXPECT_TRUE(!config.pause || resumed);
    EXPECT_EQ(engine.scanNumber.load(), engine.totalNumber.load()) << config.what;
    EXPECT_EQ(engine.unreadableNumber.load(), 0);
    {
        const auto lock = engine.LockGroups();
        EXPECT_EQ(CheckGroupInvariants(engine.groups, true), "") << config.what;
        size_t members = 0;
        for (const SizeGroup& group : engine.groups) members += group.members.size();
        EXPECT_EQ(static_cast<size_t>(engine.duplicateNumber.load()), members);
    }
    return DeliveredSets(engine);
}

TEST(SearchOracle, RandomTreesMatchBruteForceInEveryConfiguration) {
    const Config configs[] = {
        {"one worker", 1, 1 << 20, 4096, false},
        {"four workers", 4, 1 << 20, 4096, false},
        {"four workers, four walk threads", 4, 1 << 20, 4096, false, 64, {}, 4},
        {"small buffers", 2, 512, 64, false, 64, {}, 2},
        {"odd buffers", 3, 4097, 1000, false},
        {"pause and resume", 2, 8192, 512, true},
        {"pause and resume, three walk threads", 2, 8192, 512, true, 64, {}, 3},
        {"fingerprint table from the third file of a size", 2, 4096, 256, false, 2},
        {"disk order, one reader", 4, 4096, 512, false, 64, {}, 2, DiskOrder::Always},
        {"the walk waits at every queued read",
         1,
         4096,
         512,
         false,
         64,
         {},
         1,
         DiskOrder::Never,
         1},
        {"short queue, pause and resume", 2, 4096, 512, true, 2, {}, 2, DiskOrder::Never, 3},
        {"no queue at all", 2, 4096, 512, false, 64, {}, 1, DiskOrder::Never, 0},
    };
    for (unsigned seed : {11u, 22u, 33u, 44u}) {
        TempDir dir;
        BuildRandomTree(dir.Path(), seed);
        const auto expected = testing::BruteForceSets(dir.Path());
        ASSERT_FALSE(expected.empty());
        std::vector<std::vector<std::string>> first;
        for (const Config& config : configs) {
            const auto sets = Search(dir.Path(), config);
            EXPECT_EQ(testing::Unordered(sets), expected) << "seed " << seed << ", " << config.what;
            if (first.empty()) {
                first = sets;
            } else {
                EXPECT_EQ(sets, first) << "delivery order, seed " << seed << ", " << config.what;
            }
        }
    }
}

// Rewrites, replaces, removes and copies random files; some rewrites keep their size
// and last-write time, as a tool that restores times would leave them.
void ChangeRandomFiles(const std::filesystem::path& root, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (!entry.is_symlink() && entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (int i = 0; i < 25 && !files.empty(); ++i) {
        const std::filesystem::path& path = files[random() % files.size()];
        if (!std::filesystem::exists(std::filesystem::symlink_status(path))) continue;
        const auto size = static_cast<size_t>(std::filesystem::file_size(path));
        const auto written = std::filesystem::last_write_time(path);
        switch (random() % 4) {
            case 0:  // same size and time, other content
                testing::WritePattern(path, size, static_cast<unsigned>(random() % 4),
                                      size > 0 ? random() % size : SIZE_MAX);
                std::filesystem::last_write_time(path, written);
                break;
            case 1:  // replaced by a copy of another file
                std::filesystem::copy_file(files[random() % files.size()], path.string() + ".tmp",
                                           std::filesystem::copy_options::overwrite_existing);
                std::filesystem::rename(path.string() + ".tmp", path);
                break;
            case 2:
                std::filesystem::remove(path);
                break;
            default:
                std::filesystem::copy_file(path, path.string() + ".copy",
                                           std::filesystem::copy_options::skip_existing);
        }
    }
}

// The cache cold, warm, and warm after random changes, with one and two workers and
// one and three walk threads: always the brute-force answer, in the same order as a
// scan by one walk thread without the cache.
TEST(SearchOracle, TheCacheColdWarmAndAfterChangesMatchesBruteForce) {
    for (unsigned seed : {55u, 66u}) {
        for (int threads : {1, 2}) {
            TempDir dir;
            TempDir cache_dir;
            const std::string cache = (cache_dir.Path() / "cache.db").string();
            BuildRandomTree(dir.Path(), seed);
            const Config plain{"no cache", threads, 4096, 512, false};
            Config cached = plain;
            cached.cache = cache;
            cached.walkThreads = threads == 1 ? 1 : 3;
            for (const char* step : {"cold", "warm", "changed", "warm after changes"}) {
                if (std::string(step) == "changed")
                    ChangeRandomFiles(dir.Path(), seed + static_cast<unsigned>(threads));
                const auto expected = testing::BruteForceSets(dir.Path());
                const auto sets = Search(dir.Path(), cached);
                EXPECT_EQ(testing::Unordered(sets), expected)
                    << "seed " << seed << ", " << threads << ", " << step;
                EXPECT_EQ(sets, Search(dir.Path(), plain))
                    << "order, seed " << seed << ", " << threads << ", " << step;
            }
        }
    }
}

}  // namespace
}  // namespace merravine

namespace merravine {
namespace {

// Many files of one size (more than a bucket walk handles): twins that turn up late
// are still found, whichever way equal end blocks are looked up.
TEST(SearchOracle, CrowdedSizeMatchesBruteForce) {
    TempDir dir;
    for (int i = 0; i < 400; ++i) {
        const auto pattern = static_cast<unsigned>(i < 200 ? 1000 + i : i % 150);
        const size_t flip = i % 7 == 0 ? 6000 : SIZE_MAX;
        testing::WritePattern(
            dir.Path() / ("d" + std::to_string(i % 9)) / ("f" + std::to_string(i)), 9000, pattern,
            flip);
    }
    const auto expected = testing::BruteForceSets(dir.Path());
    for (int threads : {1, 2}) {
        SearchEngine engine;
        engine.settings = testing::SettingsFor({dir.Path().string()});
        engine.tuning.hashThreads = threads;
        engine.tuning.bucketWalkLimit = 16;
        testing::RunSearchToEnd(engine);
        EXPECT_EQ(testing::Unordered(DeliveredSets(engine)), expected) << threads;
    }
}

// Files with the same ends that differ from the first one read whole in the middle:
// those equal among themselves are still found, at any depth of difference, and so
// are hard links to a file that has no other twin.
TEST(SearchOracle, FilesThatDifferFromTheReferenceAreMatchedAmongThemselves) {
    TempDir dir;
    constexpr size_t kSize = 20000;
    const std::pair<const char*, size_t> files[] = {
        {"a", SIZE_MAX}, {"b", 10000}, {"x/c", 10000},  {"d", 15000},
        {"y/e", 15000},  {"f", 12000}, {"g", SIZE_MAX}, {"h", 17000},
    };
    for (const auto& [name, flip] : files) testing::WritePattern(dir.Path() / name, kSize, 7, flip);
    std::filesystem::create_hard_link(dir.Path() / "h", dir.Path() / "z-h-link");
    const auto expected = testing::BruteForceSets(dir.Path());
    ASSERT_EQ(expected.size(), 4u);
    for (int threads : {1, 2, 3}) {
        SearchEngine engine;
        engine.settings = testing::SettingsFor({dir.Path().string()});
        engine.tuning.hashThreads = threads;
        engine.tuning.prefixSize = 512;
        engine.tuning.readBufferSize = 4096;
        testing::RunSearchToEnd(engine);
        EXPECT_EQ(testing::Unordered(DeliveredSets(engine)), expected) << threads;
    }
}

}  // namespace
}  // namespace merravine
