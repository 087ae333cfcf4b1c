// The walk spread over several threads: on wide trees, with every filter, links and
// search folders given twice or inside one another, the outcome is the one of a walk
// by one thread, down to the order of sets and members, the counters and where a
// duplicate limit cuts the search short. A stop at any moment ends the walk cleanly,
// and no search leaves a descriptor open (the folders kept open for the reads close).
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "search/search_commands.h"
#include "search_test_support.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

using testing::DeliveredSets;
using testing::TempDir;

// 30 folders of 4 subfolders each, files whose contents repeat across folders, and
// entries each filter leaves out.
void BuildWideTree(const std::filesystem::path& root) {
    for (int f = 0; f < 30; ++f) {
        const auto folder = root / ("f" + std::to_string(f));
        for (int s = 0; s < 4; ++s) {
            const auto sub = folder / ("s" + std::to_string(s));
            for (int i = 0; i < 3; ++i) {
                const unsigned content = static_cast<unsigned>((f * 7 + s * 3 + i) % 23);
                testing::WritePattern(sub / ("n" + std::to_string(i) + (i == 2 ? ".exe" : ".bin")),
                                      100 + content % 5, content);
            }
        }
        testing::WritePattern(folder / "top.txt", 50, static_cast<unsigned>(f % 4));
        if (f % 6 == 0) testing::WritePattern(folder / ".hidden/h.bin", 50, 1);
        if (f % 7 == 0) testing::WritePattern(folder / "$RECYCLE.BIN/r.bin", 50, 2);
        if (f % 5 == 0) {
            std::filesystem::create_directory_symlink(root / "f1", folder / "link");
            std::filesystem::create_hard_link(folder / "top.txt", folder / "hard.txt");
        }
    }
}

size_t OpenDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

struct Outcome {
    std::vector<std::vector<std::string>> sets;
    int32_t total = 0;
    int32_t scanned = 0;
    int32_t duplicates = 0;
    int32_t unreadable = 0;
    int32_t unlistable = 0;
    int32_t vanished = 0;
    bool operator==(const Outcome&) const = default;
};

Outcome Scan(const SearchSettings& settings, int walkThreads) {
    SearchEngine engine;
    engine.settings = settings;
    engine.tuning.hashThreads = 2;
    engine.tuning.walkThreads = walkThreads;
    const size_t open_before = OpenDescriptors();
    testing::RunSearchToEnd(engine);
    EXPECT_EQ(OpenDescriptors(), open_before) << walkThreads;
    {
        const auto lock = engine.LockGroups();
        EXPECT_EQ(CheckGroupInvariants(engine.groups, true), "") << walkThreads;
    }
    return Outcome{DeliveredSets(engine),          engine.totalNumber.load(),
                   engine.scanNumber.load(),       engine.duplicateNumber.load(),
                   engine.unreadableNumber.load(), engine.unlistableNumber.load(),
                   engine.vanishedNumber.load()};
}

TEST(ParallelWalk, ManyThreadsFindWhatOneThreadFinds) {
    TempDir dir;
    const auto& root = dir.Path();
    BuildWideTree(root);
    SearchSettings all = testing::SettingsFor({root.string()});
    const auto expected = testing::BruteForceSets(root);

    SearchSettings filtered = testing::SettingsFor(
        {root.string(), (root / "f3").string(), root.string(), (root / "f1/s2").string()});
    filtered.skipflag = FILE_SKIP_HIDE | FILE_SKIP_PRGRAM | FILE_SKIP_RECYCLE | FILE_SKIP_SYSTEM;
    filtered.excludeDirs = {(root / "f4").string(), (root / "f9/s1").string()};
    filtered.usemin = 1;
    filtered.minsize = 51;

    SearchSettings limited = all;
    limited.scanmaxfilenumber = 40;  // where the search stops depends on the walk order

    for (const auto* settings : {&all, &filtered, &limited}) {
        const Outcome one = Scan(*settings, 1);
        ASSERT_FALSE(one.sets.empty());
        if (settings == &all) {
            EXPECT_EQ(testing::Unordered(one.sets), expected);
            EXPECT_EQ(one.total, 30 * 13 + 5 + 5 + 6);  // hidden, trash and hard links in
        }
        if (settings == &filtered) {
            // Each file once, two per subfolder of the 29 folders kept but one (f9/s1).
            EXPECT_EQ(one.total, (29 * 4 - 1) * 2);
        }
        if (settings == &limited) {
            EXPECT_LT(one.scanned, one.total);
        }
        for (int threads : {2, 3, 8}) {
            EXPECT_EQ(Scan(*settings, threads), one) << threads << " walk threads";
        }
    }
}

// Stops the search once the walk has counted `files` files (at once for 0).
void StopAfter(const std::filesystem::path& root, int32_t files, int walkThreads = 3) {
    SearchEngine engine;
    engine.settings = testing::SettingsFor({root.string()});
    engine.tuning.walkThreads = walkThreads;
    engine.tuning.hashThreads = 2;
    const size_t open_before = OpenDescriptors();
    ASSERT_EQ(BeginSearch(engine), ScriptValue::Int(0));
    while (engine.totalNumber.load() < files && engine.state.load() != W_READY) {
        std::this_thread::yield();
    }
    AbortSearch(engine);
    WaitForSearch(engine);
    EXPECT_EQ(engine.state.load(), W_READY) << files;
    EXPECT_EQ(OpenDescriptors(), open_before) << files;
    const auto lock = engine.LockGroups();
    EXPECT_EQ(CheckGroupInvariants(engine.groups, true), "") << files;
    size_t members = 0;
    for (const SizeGroup& group : engine.groups) members += group.members.size();
    EXPECT_EQ(static_cast<size_t>(engine.duplicateNumber.load()), members) << files;
    EXPECT_LE(engine.scanNumber.load(), engine.totalNumber.load()) << files;
}

TEST(ParallelWalk, AStopAtAnyMomentEndsTheWalk) {
    TempDir dir;
    BuildWideTree(dir.Path());
    StopAfter(dir.Path(), 0, 1);
    for (int32_t files : {0, 1, 20, 100, 250, 400}) StopAfter(dir.Path(), files);
}

}  // namespace
}  // namespace merravine
