// Files that cannot be read, that vanish or change between the walk and the read:
// they leave the search and are counted, and never form a set with anything.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "search_test_support.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

using testing::DeliveredSets;
using testing::RunSearchToEnd;
using testing::SettingsFor;
using testing::TempDir;
using Sets = std::set<std::set<std::string>>;

struct FaultCase {
    const char* what;
    IoStep step;
    size_t size;
};

class ReadFaults : public ::testing::TestWithParam<FaultCase> {};

// Two identical readable files and two files of the same size that cannot be read
// (equal to each other, and one of them all zero bytes like an untouched key): the
// readable pair is still a set, the unreadable ones are in none.
TEST_P(ReadFaults, UnreadableFilesLeaveTheSearch) {
    const FaultCase c = GetParam();
    TempDir dir;
    const std::string r = dir.Path().string();
    testing::WritePattern(r + "/good1", c.size, 3);
    testing::WritePattern(r + "/good2", c.size, 3);
    testing::WritePattern(r + "/bad1", c.size, 9);
    testing::WritePattern(r + "/bad2", c.size, 9);
    dir.Write("zeros", std::string(c.size, '\0'));
    dir.Write("bad3", std::string(c.size, '\0'));
    SearchEngine engine;
    engine.settings = SettingsFor({r});
    engine.tuning.readBufferSize = 4096;
    engine.tuning.prefixSize = 1024;
    engine.SetIoFaultHook([step = c.step](const std::string& path, IoStep at) {
        return at == step && path.find("/bad") != std::string::npos ? EACCES : 0;
    });
    RunSearchToEnd(engine);
    EXPECT_EQ(testing::Unordered(DeliveredSets(engine)), (Sets{{r + "/good1", r + "/good2"}}))
        << c.what;
    EXPECT_EQ(engine.unreadableNumber.load(), 3) << c.what;
    EXPECT_EQ(engine.duplicateNumber.load(), 2) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Steps, ReadFaults,
                         ::testing::Values(FaultCase{"open, raw key", IoStep::Open, 20},
                                           FaultCase{"read, raw key", IoStep::Read, 20},
                                           FaultCase{"open, small", IoStep::Open, 900},
                                           FaultCase{"open, large", IoStep::Open, 50000},
                                           FaultCase{"read, large", IoStep::Read, 50000}));

// A file deleted, or grown, after the walk listed it and before it is read, or grown
// while it is read.
TEST(ReadFaults, FilesThatVanishOrChangeAreDropped) {
    for (size_t size : {20, 50000}) {
        TempDir dir;
        const std::string r = dir.Path().string();
        testing::WritePattern(r + "/a", size, 1);
        testing::WritePattern(r + "/gone", size, 1);
        testing::WritePattern(r + "/grows", size, 1);
        testing::WritePattern(r + "/grows_while_read", size, 1);
        SearchEngine engine;
        engine.settings = SettingsFor({r});
        engine.SetIoFaultHook([](const std::string& path, IoStep step) {
            if (step == IoStep::Read && path.ends_with("/grows_while_read")) {
                std::ofstream(path, std::ios::app) << "x";
            }
            if (step != IoStep::Open) return 0;
            if (path.ends_with("/gone")) unlink(path.c_str());
            if (path.ends_with("/grows")) std::ofstream(path, std::ios::app) << "x";
            return 0;
        });
        RunSearchToEnd(engine);
        EXPECT_TRUE(DeliveredSets(engine).empty()) << size;
        EXPECT_EQ(engine.unreadableNumber.load(), 3) << size;
    }
}

// A stage that loses a file's result (the fault seam stands in for a bookkeeping
// fault): the search still ends, the lost file is in no set, and the balance at the
// end counts it, where every other search of these tests counts none.
TEST(ReadFaults, TheBalanceCatchesAFileAStageLost) {
    for (const ReadStage stage : {ReadStage::FirstRead, ReadStage::Comparison}) {
        TempDir dir;
        const std::string r = dir.Path().string();
        for (const char* name : {"/a", "/b", "/lost"}) testing::WritePattern(r + name, 50000, 4);
        testing::WritePattern(r + "/c", 900, 1);
        testing::WritePattern(r + "/d", 900, 1);
        SearchEngine engine;
        engine.settings = SettingsFor({r});
        engine.SetStageFaultHook([stage](ReadStage at, const std::string& path) {
            return at == stage && path.ends_with("/lost");
        });
        ASSERT_TRUE(StartSearch(engine));
        WaitForSearch(engine);
        EXPECT_EQ(engine.state.load(), W_READY);
        EXPECT_GE(engine.unbalancedNumber.load(), 1) << static_cast<int>(stage);
        for (const auto& set : DeliveredSets(engine)) {
            for (const std::string& path : set)
                EXPECT_FALSE(path.ends_with("/lost")) << static_cast<int>(stage);
        }
    }
}

}  // namespace
}  // namespace merravine
