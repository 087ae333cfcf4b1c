// The content cache is written after a search's results are out: the results do not
// wait for it, and the next search, a clear and the engine's end wait for it, so no
// finding is lost and none outlives a clear.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>

#include "search/content_cache.h"
#include "search/search_commands.h"
#include "search_test_support.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

using testing::TempDir;
using Sets = std::set<std::set<std::string>>;

constexpr auto kPatience = std::chrono::seconds(60);  // only a hung save waits this long

// Holds every cache save at its start until Release (or the end of the test).
class HeldSaves {
  public:
    HeldSaves() {
        ContentCache::SetSaveHookForTests([this] {
            started_.set_value();
            release_.wait();
        });
    }
    ~HeldSaves() {
        Release();
        ContentCache::SetSaveHookForTests({});
    }
    bool Started() { return startedFuture_.wait_for(kPatience) == std::future_status::ready; }
    void Release() {
        if (!released_) releasePromise_.set_value();
        released_ = true;
    }

  private:
    std::promise<void> started_;
    std::future<void> startedFuture_ = started_.get_future();
    std::promise<void> releasePromise_;
    std::shared_future<void> release_ = releasePromise_.get_future().share();
    bool released_ = false;
};

class CacheSaveTest : public ::testing::Test {
  protected:
    CacheSaveTest() {
        testing::WritePattern(Root() / "a", 50000, 1);
        testing::WritePattern(Root() / "sub/b", 50000, 1);
        testing::WritePattern(Root() / "c", 50000, 2);
        testing::WritePattern(Root() / "d", 900, 3);
        testing::WritePattern(Root() / "e", 900, 3);
        engine_.settings = testing::SettingsFor({Root().string()});
        engine_.tuning.cachePath = Cache();
        engine_.tuning.hashThreads = 2;
        engine_.tuning.prefixSize = 1024;
    }
    std::filesystem::path Root() const { return dir_.Path() / "tree"; }
    std::string Cache() const { return (dir_.Path() / "cache.db").string(); }
    Sets Found() { return testing::Unordered(testing::DeliveredSets(engine_)); }

    TempDir dir_;
    SearchEngine engine_;
};

TEST_F(CacheSaveTest, ResultsArriveWhileTheSaveIsHeldAndTheNextScanSeesIt) {
    HeldSaves held;
    testing::RunSearchToEnd(engine_);
    ASSERT_TRUE(held.Started());
    // The save has not ended, yet the search is over and its sets are out.
    EXPECT_EQ(engine_.state.load(), W_READY);
    EXPECT_EQ(Found(), testing::BruteForceSets(Root()));
    EXPECT_GT(engine_.bytesRead.load(), 0u);
    // A scan started now waits for the save (were it to go on, it would be over well
    // before the save is let go), then reads nothing.
    ASSERT_TRUE(StartSearch(engine_));
    auto second = std::async(std::launch::async, [&] { WaitForSearch(engine_); });
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
    held.Release();
    second.get();
    EXPECT_EQ(engine_.bytesRead.load(), 0u) << "the first scan's entries were not seen";
    EXPECT_EQ(Found(), testing::BruteForceSets(Root()));
}

TEST_F(CacheSaveTest, AClearWaitsForTheSaveItFollows) {
    HeldSaves held;
    testing::RunSearchToEnd(engine_);
    ASSERT_TRUE(held.Started());
    auto cleared = std::async(std::launch::async, [&] { return ClearCache(engine_, Cache()); });
    // Still held: a clear done now would be undone by the save that follows it.
    EXPECT_EQ(cleared.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    held.Release();
    EXPECT_EQ(cleared.get().IntOr(-1), 0);
    testing::RunSearchToEnd(engine_);
    EXPECT_GT(engine_.bytesRead.load(), 0u) << "entries written after the clear were used";
}

TEST_F(CacheSaveTest, TheEngineEndsOnlyAfterItsSave) {
    HeldSaves held;
    auto engine = std::make_unique<SearchEngine>();
    engine->settings = engine_.settings;
    engine->tuning = engine_.tuning;
    testing::RunSearchToEnd(*engine);
    ASSERT_TRUE(held.Started());
    auto ended = std::async(std::launch::async, [&] { engine.reset(); });
    EXPECT_EQ(ended.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    held.Release();
    ended.get();
    EXPECT_EQ(ContentCache::ReadHistory(Cache(), ScanKey(engine_.settings)).files, 5u)
        << "the save was dropped";
}

// A scan stopped half way keeps the first reads it did: the next scan reads less.
TEST_F(CacheSaveTest, AStoppedScanKeepsWhatItLearned) {
    for (int i = 0; i < 300; ++i)
        testing::WritePattern(Root() / "many" / std::to_string(i), 20000, 100 + i);
    engine_.tuning.hashThreads = 1;
    const std::string stop_at = (Root() / "many" / "150").string();
    engine_.SetIoFaultHook([&](const std::string& path, IoStep) {
        if (path == stop_at) ChangeState(engine_, W_ABORT);
        return 0;
    });
    ASSERT_TRUE(StartSearch(engine_));
    WaitForSearch(engine_);
    engine_.SetIoFaultHook({});
    engine_.WaitForCacheSave();
    EXPECT_EQ(ContentCache::ReadHistory(Cache(), ScanKey(engine_.settings)).files, 0u)
        << "a stopped scan is no finished one";

    SearchEngine plain;
    plain.settings = engine_.settings;
    plain.tuning = engine_.tuning;
    plain.tuning.cachePath.clear();
    testing::RunSearchToEnd(plain);
    testing::RunSearchToEnd(engine_);
    EXPECT_EQ(Found(), testing::BruteForceSets(Root()));
    EXPECT_LT(engine_.bytesRead.load(), plain.bytesRead.load());
    EXPECT_GT(engine_.bytesRead.load(), 0u);
}

}  // namespace
}  // namespace merravine
