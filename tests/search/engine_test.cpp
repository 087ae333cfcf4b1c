// The search job's commands and states: start conditions, a second start, pause,
// resume and abort with and without a running search, the duplicate limit, the hook
// for the history, and a page that polls the counters while a search runs.
#include <gtest/gtest.h>

#include <atomic>

#include "search/search_commands.h"
#include "search_test_support.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

using testing::DeliveredSets;
using testing::RunSearchToEnd;
using testing::SettingsFor;
using testing::TempDir;

// Holds every file read until released, so a test can act while a search runs.
struct ReadGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    bool reached = false;

    IoFaultHook Hook() {
        return [this](const std::string&, IoStep) {
            std::unique_lock lock(mutex);
            reached = true;
            changed.notify_all();
            changed.wait(lock, [this] { return open; });
            return 0;
        };
    }
    void WaitReached() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return reached; });
    }
    void Open() {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        changed.notify_all();
    }
};

void WaitForState(SearchEngine& engine, int32_t wanted) { engine.AwaitState(wanted); }

void MakeTwins(TempDir& dir) {
    dir.Write("a.txt", "twin content");
    dir.Write("sub/b.txt", "twin content");
    dir.Write("single.txt", "no twin at all");
}

TEST(SearchCommands, StartConditions) {
    TempDir dir;
    MakeTwins(dir);
    SearchEngine engine;
    engine.settings = SettingsFor({dir.Path().string()});
    RunSearchToEnd(engine);
    ASSERT_EQ(engine.duplicateNumber.load(), 2);

    // No search folder, or bounds that leave no room: answer 0, start nothing, keep results.
    engine.settings.searchDirs.clear();
    EXPECT_EQ(BeginSearch(engine), ScriptValue::Int(0));
    EXPECT_EQ(GetScanningInfo(engine).At(0), ScriptValue::Int(W_READY));
    EXPECT_EQ(GetDuplicateFileNumber(engine), ScriptValue::Int(2));
    engine.settings = SettingsFor({dir.Path().string()});
    engine.settings.usemin = engine.settings.usemax = 1;
    engine.settings.minsize = engine.settings.maxsize = 12;
    EXPECT_EQ(BeginSearch(engine), ScriptValue::Int(0));
    EXPECT_EQ(engine.scanNumber.load(), 3);

    // Requests without a running search change nothing.
    PauseSearch(engine);
    ResumeSearch(engine);
    AbortSearch(engine);
    EXPECT_EQ(engine.state.load(), W_READY);

    // One bound alone starts a search whatever the sizes.
    engine.settings.usemax = 0;
    EXPECT_EQ(BeginSearch(engine), ScriptValue::Int(0));
    WaitForSearch(engine);
    const ScriptValue info = GetScanningInfo(engine);
    ASSERT_EQ(info.Count(), 5u);
    EXPECT_EQ(info.At(0), ScriptValue::Int(W_READY));
    EXPECT_EQ(info.At(1), ScriptValue::Int(3));
    EXPECT_EQ(info.At(2), ScriptValue::Int(2));
    EXPECT_EQ(info.At(3), ScriptValue::Text(""));
    EXPECT_EQ(info.At(4), ScriptValue::Int(3));
}

TEST(SearchCommands, SecondStartPauseResumeWhileRunning) {
    TempDir dir;
    MakeTwins(dir);
    SearchEngine engine;
    engine.settings = SettingsFor({dir.Path().string()});
    ReadGate gate;
    engine.SetIoFaultHook(gate.Hook());
    ASSERT_EQ(BeginSearch(engine), ScriptValue::Int(0));
    gate.WaitReached();
    EXPECT_EQ(BeginSearch(engine), ScriptValue::Int(1));
    const int32_t running = engine.state.load();
    EXPECT_TRUE(running == W_PRESEARCH || running == W_SEARCH);
    PauseSearch(engine);
    EXPECT_EQ(GetScanningInfo(engine).At(0), ScriptValue::Int(W_PAUSE));
    ResumeSearch(engine);
    EXPECT_NE(engine.state.load(), W_PAUSE);
    gate.Open();
    WaitForSearch(engine);
    EXPECT_EQ(engine.state.load(), W_READY);
    EXPECT_EQ(DeliveredSets(engine).size(), 1u);
    EXPECT_EQ(engine.duplicateNumber.load(), 2);
}

TEST(SearchCommands, AbortInTheSearchPassKeepsOnlyTwins) {
    TempDir dir;
    MakeTwins(dir);
    for (int i = 0; i < 20; ++i)
        dir.Write("more/f" + std::to_string(i), "x" + std::to_string(i % 10) + "-twins");
    SearchEngine engine;
    engine.settings = SettingsFor({dir.Path().string()});
    bool finished_hook_ran = false;
    engine.SetOnSearchFinished([&](const SearchEngine&) { finished_hook_ran = true; });
    ReadGate gate;
    engine.SetIoFaultHook(gate.Hook());
    ASSERT_EQ(BeginSearch(engine), ScriptValue::Int(0));
    WaitForState(engine, W_SEARCH);
    AbortSearch(engine);
    EXPECT_EQ(engine.state.load(), W_ABORT);
    gate.Open();
    WaitForSearch(engine);
    EXPECT_EQ(engine.state.load(), W_READY);
    EXPECT_FALSE(finished_hook_ran);
    const auto lock = engine.LockGroups();
    EXPECT_EQ(CheckGroupInvariants(engine.groups, true), "");
    EXPECT_LE(engine.scanNumber.load(), engine.totalNumber.load());
}

// With room for one queued read, the walk waits while the reads are held: it has not
// listed every file when the search is stopped, and the stop ends the wait.
TEST(SearchCommands, AbortWhileTheWalkWaitsForTheReads) {
    TempDir dir;
    constexpr int kFiles = 400;
    for (int i = 0; i < kFiles; ++i)
        dir.Write("d" + std::to_string(i % 40) + "/f" + std::to_string(i),
                  "twin " + std::to_string(i % 2));
    SearchEngine engine;
    engine.settings = SettingsFor({dir.Path().string()});
    engine.tuning.hashThreads = 1;
    engine.tuning.walkThreads = 1;
    engine.tuning.maxQueuedJobs = 1;
    ReadGate gate;
    engine.SetIoFaultHook(gate.Hook());
    ASSERT_EQ(BeginSearch(engine), ScriptValue::Int(0));
    gate.WaitReached();
    AbortSearch(engine);
    gate.Open();
    WaitForSearch(engine);
    EXPECT_EQ(engine.state.load(), W_READY);
    EXPECT_LT(engine.totalNumber.load(), kFiles);
    EXPECT_EQ(engine.unbalancedNumber.load(), 0);
    const auto lock = engine.LockGroups();
    EXPECT_EQ(CheckGroupInvariants(engine.groups, true), "");
}

TEST(SearchCommands, DuplicateLimitStopsAfterTheFirstTwin) {
    TempDir dir;
    dir.Write("f1", "first pair");
    dir.Write("f2", "first pair");
    dir.Write("f3", "other");
    dir.Write("z/g1", "second pair");
    dir.Write("z/g2", "second pair");
    SearchEngine engine;
    engine.settings = SettingsFor({dir.Path().string()});
    engine.settings.scanmaxfilenumber = 0;
    RunSearchToEnd(engine);
    const std::string r = dir.Path().string();
    EXPECT_EQ(testing::Unordered(DeliveredSets(engine)),
              (std::set<std::set<std::string>>{{r + "/f1", r + "/f2"}}));
    EXPECT_EQ(engine.totalNumber.load(), 5);
    EXPECT_LE(engine.scanNumber.load(), 3);

    engine.settings.scanmaxfilenumber = -1;  // compared unsigned: never stops
    RunSearchToEnd(engine);
    EXPECT_EQ(DeliveredSets(engine).size(), 2u);
}

TEST(SearchCommands, FinishedHookSeesTheStableGroups) {
    TempDir dir;
    MakeTwins(dir);
    SearchEngine engine;
    engine.settings = SettingsFor({dir.Path().string()});
    size_t seen_groups = 0;
    int32_t seen_state = -1;
    engine.SetOnSearchFinished([&](const SearchEngine& finished) {
        seen_groups = finished.groups.size();
        seen_state = finished.state.load();
    });
    RunSearchToEnd(engine);
    EXPECT_EQ(seen_groups, 1u);
    EXPECT_EQ(seen_state, W_SEARCH);
}

// Built and run under ThreadSanitizer too: the page polls every counter and the
// scanning path while the search thread and the hash workers run.
TEST(SearchCommands, CountersCanBePolledDuringASearch) {
    TempDir dir;
    for (int i = 0; i < 300; ++i) {
        testing::WritePattern(
            dir.Path() / ("d" + std::to_string(i % 7)) / ("f" + std::to_string(i)), 5000 + (i % 13),
            static_cast<unsigned>(i % 40));
    }
    SearchEngine engine;
    engine.settings = SettingsFor({dir.Path().string()});
    engine.tuning.hashThreads = 3;
    ASSERT_EQ(BeginSearch(engine), ScriptValue::Int(0));
    int32_t polls = 0;
    for (;;) {
        const ScriptValue info = GetScanningInfo(engine);
        GetDuplicateFileNumber(engine);
        ++polls;
        if (info.At(0) == ScriptValue::Int(W_READY)) break;
        std::this_thread::yield();
    }
    WaitForSearch(engine);
    EXPECT_GT(polls, 0);
    EXPECT_EQ(engine.totalNumber.load(), 300);
    EXPECT_EQ(testing::Unordered(DeliveredSets(engine)), testing::BruteForceSets(dir.Path()));
}

}  // namespace
}  // namespace merravine
