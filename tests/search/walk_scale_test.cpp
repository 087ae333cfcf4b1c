// The walk and the reads at scale: trees deeper than any path the kernel takes in one
// call, and a process that runs out of file descriptors. Nothing may be skipped or
// turned into "unreadable" for either reason.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <map>
#include <mutex>

#include "search_test_support.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

using testing::DeliveredSets;
using testing::RunSearchToEnd;
using testing::SettingsFor;
using testing::TempDir;
using Sets = std::set<std::set<std::string>>;

// Removes everything below the open folder `dir` through descriptors (a deep tree
// cannot be removed by path), then closes it.
void RemoveBelow(int dir) {
    DIR* listing = fdopendir(dir);
    ASSERT_NE(listing, nullptr);
    std::vector<std::pair<std::string, bool>> entries;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") entries.emplace_back(name, entry->d_type == DT_DIR);
    }
    for (const auto& [name, folder] : entries) {
        if (folder) {
            const int child =
                openat(dirfd(listing), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            ASSERT_GE(child, 0);
            RemoveBelow(child);
        }
        unlinkat(dirfd(listing), name.c_str(), folder ? AT_REMOVEDIR : 0);
    }
    closedir(listing);
}

void WriteAt(int dir, const char* name, const std::string& content) {
    const int fd = openat(dir, name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
}

// 2,000 folders of 10-byte names (a path of about 22,000 bytes): files at depth 1,000
// and 2,000 and in folders beside the chain with the same content are a set, another
// pair at depth 1 and 2,000 too, and their records carry their times.
TEST(WalkScale, FindsDuplicatesFarBelowPathMax) {
    TempDir temp;
    const std::string r = temp.Path().string();
    const std::string name = "folder_xyz";
    const std::string content(5000, 'q');
    std::string other(3000, 'w');
    int dir = open(r.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    const int top = dup(dir);
    std::string path = r;
    std::map<int, std::string> at_depth;
    std::set<std::string> copies;
    for (int depth = 1; depth <= 2000; ++depth) {
        ASSERT_EQ(mkdirat(dir, name.c_str(), 0755), 0);
        const int child = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(child, 0);
        close(dir);
        dir = child;
        path += "/" + name;
        if (depth == 1 || depth == 1000 || depth == 2000) {
            WriteAt(dir, "same.bin", depth == 1 ? other : content);
            at_depth[depth] = path + "/same.bin";
        }
        if (depth == 2000) WriteAt(dir, "other.bin", other);
        // Folders beside the deep chain: the walk comes back to their parents after the
        // chain, when those parents were closed long ago.
        if (depth == 1 || depth == 1500) {
            for (const char* side : {"side_a", "side_b", "side_c"}) {
                ASSERT_EQ(mkdirat(dir, side, 0755), 0);
                const int side_dir = openat(dir, side, O_RDONLY | O_DIRECTORY);
                WriteAt(side_dir, "copy.bin", content);
                close(side_dir);
                copies.insert(path + "/" + side + "/copy.bin");
            }
        }
    }
    close(dir);
    ASSERT_GT(path.size(), static_cast<size_t>(PATH_MAX));

    SearchEngine engine;
    engine.settings = SettingsFor({r});
    RunSearchToEnd(engine);
    copies.insert(at_depth[1000]);
    copies.insert(at_depth[2000]);
    const Sets expected = {copies, {at_depth[1], path + "/other.bin"}};
    EXPECT_EQ(testing::Unordered(DeliveredSets(engine)), expected);
    EXPECT_EQ(engine.unlistableNumber.load(), 0);
    EXPECT_EQ(engine.unreadableNumber.load(), 0);
    {
        const auto lock = engine.LockGroups();
        for (const SizeGroup& group : engine.groups) {
            for (const FileRecord& record : group.members)
                EXPECT_NE(record.modifyTime, kNoTime) << record.path;
        }
    }
    RemoveBelow(top);
}

// Every open first fails as if the process had no descriptor left: the files are read
// once one is free again, and none of them counts as unreadable.
TEST(WalkScale, OutOfDescriptorsWaitsInsteadOfLosingFiles) {
    TempDir temp;
    const std::string r = temp.Path().string();
    for (int i = 0; i < 6; ++i) testing::WritePattern(r + "/big" + std::to_string(i), 50000, i % 2);
    for (int i = 0; i < 4; ++i) testing::WritePattern(r + "/small" + std::to_string(i), 900, i % 2);
    SearchEngine engine;
    engine.settings = SettingsFor({r});
    engine.tuning.hashThreads = 2;
    std::mutex mutex;
    std::map<std::string, int> refused;
    engine.SetIoFaultHook([&](const std::string& path, IoStep step) {
        if (step != IoStep::Open) return 0;
        std::lock_guard lock(mutex);
        return refused[path]++ < 2 ? (refused.size() % 2 == 0 ? EMFILE : ENFILE) : 0;
    });
    RunSearchToEnd(engine);
    EXPECT_EQ(DeliveredSets(engine).size(), 4u);
    EXPECT_EQ(engine.unreadableNumber.load(), 0);
}

// Searches `r` with the soft descriptor limit a few above what is open now.
void ExpectFoundUnderALowLimit(const std::string& r, int walkThreads) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int open_now = 0;
    for (int fd = 0; fd < 4096; ++fd) open_now += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(open_now) + 24;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    SearchEngine engine;
    engine.settings = SettingsFor({r});
    engine.tuning.hashThreads = 2;
    engine.tuning.walkThreads = walkThreads;
    RunSearchToEnd(engine);
    setrlimit(RLIMIT_NOFILE, &saved);
    const auto sets = DeliveredSets(engine);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].size(), 60u);  // the smaller files first
    EXPECT_EQ(sets[1].size(), 40u);
    EXPECT_EQ(engine.unreadableNumber.load(), 0);
    EXPECT_EQ(engine.unlistableNumber.load(), 0);
}

// A real descriptor limit far below what a comparison pass would open (40 identical
// files) and a walk of nested folders, and of 30 folders with subfolders side by side
// by one and by four walk threads: everything is still found.
TEST(WalkScale, KeepsWithinALowDescriptorLimit) {
    TempDir temp;
    const std::string r = temp.Path().string();
    std::string folder = r;
    for (int i = 0; i < 40; ++i) {
        if (i % 4 == 0) folder += "/d" + std::to_string(i);
        testing::WritePattern(folder + "/same" + std::to_string(i), 20000, 7);
    }
    for (int i = 0; i < 30; ++i) {
        const std::string wide = r + "/w" + std::to_string(i);
        testing::WritePattern(wide + "/a/b/other", 3000, 9);
        testing::WritePattern(wide + "/c/other", 3000, 9);
    }
    for (int walk_threads : {1, 4}) {
        SCOPED_TRACE(walk_threads);
        ExpectFoundUnderALowLimit(r, walk_threads);
    }
}

}  // namespace
}  // namespace merravine
