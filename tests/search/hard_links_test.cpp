// Names of one file (hard links) in a real tree: with the option on a set keeps one name
// per file and a set of one file is no set; with it off every name is a member and the
// rows carry the identity that tells them apart. Also the paths behind the counts of
// unreadable files, and the set count the page compares with what it was shown.
#include "search/hard_links.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "search/result_rows.h"
#include "search/search_commands.h"
#include "search_test_support.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

namespace fs = std::filesystem;
using testing::DeliveredSets;
using testing::RunSearchToEnd;
using testing::SettingsFor;
using testing::TempDir;

// a.txt and a-link.txt are one file; b.txt is a copy of it. c.txt and c-link.txt are one
// file with no copy. d.txt and e.txt are copies without links.
void MakeLinkedTree(const TempDir& dir) {
    dir.Write("a.txt", "shared content");
    fs::create_hard_link(dir.Path() / "a.txt", dir.Path() / "a-link.txt");
    dir.Write("sub/b.txt", "shared content");
    dir.Write("c.txt", "only one file, two names");
    fs::create_hard_link(dir.Path() / "c.txt", dir.Path() / "sub/c-link.txt");
    dir.Write("d.txt", "plain twins");
    dir.Write("e.txt", "plain twins");
}

std::vector<std::vector<std::string>> SearchWithOption(const TempDir& dir, int32_t collapse,
                                                       ScriptValue* rows = nullptr) {
    SearchEngine engine;
    engine.settings = SettingsFor({dir.Path().string()});
    engine.settings.collapsehardlinks = collapse;
    RunSearchToEnd(engine);
    if (rows) *rows = BuildDuplicateRows(engine, KIND_ALL);
    EXPECT_EQ(CountSets(engine, KIND_ALL), static_cast<int32_t>(DeliveredSets(engine).size()));
    EXPECT_EQ(CheckGroupInvariants(engine.groups, true), "");
    return DeliveredSets(engine);
}

size_t NamesOf(const std::vector<std::vector<std::string>>& sets, const std::string& stem) {
    size_t n = 0;
    for (const auto& set : sets)
        for (const std::string& path : set) n += path.find(stem) != std::string::npos ? 1 : 0;
    return n;
}

TEST(HardLinks, CollapsedSetsKeepOneNamePerFile) {
    TempDir dir;
    MakeLinkedTree(dir);
    const auto sets = SearchWithOption(dir, 1);
    // {a or a-link, b} and {d, e}; c with its link is one file, so no set.
    ASSERT_EQ(sets.size(), 2u);
    for (const auto& set : sets) EXPECT_EQ(set.size(), 2u);
    EXPECT_EQ(NamesOf(sets, "/a"), 1u);
    EXPECT_EQ(NamesOf(sets, "b.txt"), 1u);
    EXPECT_EQ(NamesOf(sets, "c"), 0u);
}

TEST(HardLinks, WithTheOptionOffEveryNameIsListedWithItsIdentity) {
    TempDir dir;
    MakeLinkedTree(dir);
    ScriptValue rows;
    const auto sets = SearchWithOption(dir, 0, &rows);
    ASSERT_EQ(sets.size(), 3u);
    EXPECT_EQ(NamesOf(sets, "/a"), 2u);
    EXPECT_EQ(NamesOf(sets, "c"), 2u);
    ASSERT_EQ(rows.Count(), 7u);
    std::map<std::string, std::pair<std::string, std::string>> identity;
    for (size_t i = 0; i < rows.Count(); ++i) {
        const ScriptValue& row = rows.At(i);
        ASSERT_EQ(row.Count(), 15u);
        const std::string name = row.At(2).TextForm() + row.At(3).TextForm();
        identity[name] = {row.At(12).TextForm(), row.At(13).TextForm()};
        EXPECT_NE(row.At(13).TextForm(), "0") << name;
        const int32_t links = row.At(14).IntOr(-1);
        EXPECT_EQ(links, name.find('c') == 0 || name.find('a') == 0 ? 2 : 1) << name;
    }
    EXPECT_EQ(identity["a.txt"], identity["a-link.txt"]);
    EXPECT_EQ(identity["c.txt"], identity["c-link.txt"]);
    EXPECT_NE(identity["a.txt"], identity["b.txt"]);
}

// Members whose identity is unknown (stored scans) are never taken for one file.
TEST(HardLinks, CollapseLeavesUnknownIdentitiesAndDropsSetsOfOne) {
    auto member = [](const char* name, const char* key, uint64_t inode) {
        FileRecord r;
        r.path = "/d/";
        r.namenosuffix = name;
        r.key = ContentKey::FromText(key);
        r.size = 5;
        r.device = inode ? 7 : 0;
        r.inode = inode;
        return r;
    };
    std::vector<SizeGroup> groups{
        SizeGroup{
            5,
            {member("x1", "a", 0), member("x2", "a", 0), member("y1", "b", 9), member("y2", "b", 9),
             member("z1", "c", 11), member("z2", "c", 11), member("z3", "c", 12)}},
        SizeGroup{6, {member("w1", "k", 3), member("w2", "k", 3)}},
    };
    for (auto& m : groups[1].members) m.size = 6;
    EXPECT_EQ(CollapseHardLinks(groups), 5u);
    ASSERT_EQ(groups.size(), 1u);
    std::vector<std::string> names;
    for (const FileRecord& m : groups[0].members) names.push_back(m.namenosuffix);
    EXPECT_EQ(names, (std::vector<std::string>{"x1", "x2", "z1", "z3"}));
}

TEST(ScanProblems, UnreadableFilesAreCountedAndListed) {
    TempDir dir;
    dir.Write("ok1.txt", "same bytes here");
    dir.Write("ok2.txt", "same bytes here");
    dir.Write("bad1.txt", "same bytes here");
    dir.Write("bad2.txt", "same bytes here");
    SearchEngine engine;
    engine.settings = SettingsFor({dir.Path().string()});
    engine.SetIoFaultHook([](const std::string& path, IoStep) {
        return path.find("bad") != std::string::npos ? EACCES : 0;
    });
    RunSearchToEnd(engine);
    const ScriptValue problems = GetScanProblems(engine);
    ASSERT_EQ(problems.Count(), 4u);
    EXPECT_EQ(problems.At(3), ScriptValue::Int(0));  // every file was looked at
    EXPECT_EQ(problems.At(0), ScriptValue::Int(2));
    EXPECT_EQ(problems.At(1), ScriptValue::Int(0));
    std::set<std::string> listed;
    for (size_t i = 0; i < problems.At(2).Count(); ++i)
        listed.insert(problems.At(2).At(i).TextForm());
    EXPECT_EQ(listed, (std::set<std::string>{(dir.Path() / "bad1.txt").string(),
                                             (dir.Path() / "bad2.txt").string()}));
    EXPECT_EQ(GetSetCount(engine, ScriptValue::Int(KIND_ALL)), ScriptValue::Int(1));
    EXPECT_EQ(GetSetCount(engine, ScriptValue::Int(KIND_PICTURE)), ScriptValue::Int(0));
}

// A second name of a file can turn up while the file is being compared with another of
// its size. With the option off, the two names are a set whatever the comparison finds.
TEST(HardLinks, ANameFoundWhileItsFileIsComparedStillMakesASet) {
    TempDir dir;
    // r and m share their size and both ends and differ in the middle, so they are
    // compared whole; their second names lie in a subfolder, walked after them.
    constexpr size_t kSize = 64 << 10;
    testing::WritePattern(dir.Path() / "r", kSize, 5);
    testing::WritePattern(dir.Path() / "m", kSize, 5, kSize / 2);
    fs::create_directory(dir.Path() / "later");
    fs::create_hard_link(dir.Path() / "r", dir.Path() / "later/r-link");
    fs::create_hard_link(dir.Path() / "m", dir.Path() / "later/m-link");

    SearchEngine engine;
    engine.settings = SettingsFor({dir.Path().string()});
    engine.tuning.walkThreads = 1;
    std::mutex mutex;
    std::map<std::string, int> opens;
    engine.SetIoFaultHook([&](const std::string& path, IoStep step) {
        if (step != IoStep::Open) return 0;
        int count = 0;
        {
            std::lock_guard lock(mutex);
            count = ++opens[path];
        }
        // The second open is the whole read: it waits until the walk has found every name.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (count == 2 && !engine.walkDone.load() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
    });
    RunSearchToEnd(engine);
    const std::string root = dir.Path().string();
    EXPECT_EQ(testing::Unordered(DeliveredSets(engine)),
              (std::set<std::set<std::string>>{{root + "/r", root + "/later/r-link"},
                                               {root + "/m", root + "/later/m-link"}}));
}

// A search that stops at its limit on duplicates says that its results are partial; the
// next complete one does not.
TEST(ScanProblems, ASearchStoppedByItsLimitIsPartial) {
    TempDir dir;
    for (int i = 0; i < 40; ++i)
        dir.Write("f" + std::to_string(i) + ".txt", "content " + std::to_string(i % 4));
    SearchEngine engine;
    engine.settings = SettingsFor({dir.Path().string()});
    engine.settings.scanmaxfilenumber = 2;
    RunSearchToEnd(engine);
    EXPECT_EQ(GetScanProblems(engine).At(3), ScriptValue::Int(1));
    engine.settings.scanmaxfilenumber = 2147483647;
    RunSearchToEnd(engine);
    EXPECT_EQ(GetScanProblems(engine).At(3), ScriptValue::Int(0));
}

}  // namespace
}  // namespace merravine
