// The last look at the sets: empty files written during the scan leave, one file under
// two names (a bind mount) is not its own duplicate, and the home trash is recognised
// however XDG_DATA_HOME is spelled.
#include "search/final_check.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/file_walk.h"
#include "search/search_engine.h"
#include "search_test_support.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

namespace fs = std::filesystem;

FileRecord EmptyFile(const fs::path& folder, const std::string& stem) {
    FileRecord record;
    record.path = folder.string() + "/";
    record.namenosuffix = stem + ".";
    record.suffix = "txt";
    record.size = 0;
    return record;
}

TEST(FinalCheck, FilesWrittenSinceTheWalkAreNoLongerEmptyDuplicates) {
    testing::TempDir temp;
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) temp.Write(name, "");
    std::vector<SizeGroup> groups{SizeGroup{
        0,
        {EmptyFile(temp.Path(), "a"), EmptyFile(temp.Path(), "b"), EmptyFile(temp.Path(), "c")}}};
    temp.Write("c.txt", "written meanwhile");
    RecheckSets(groups);
    ASSERT_EQ(groups.size(), 1u);
    ASSERT_EQ(groups[0].members.size(), 2u);
    EXPECT_EQ(groups[0].members[1].namenosuffix, "b.");
    fs::remove(temp.Path() / "b.txt");
    RecheckSets(groups);
    EXPECT_TRUE(groups.empty()) << "one empty file left is no set";
}

// Second names are told by key, device and inode among one-link members only; what
// stays keeps its order, and members left without a twin go with their groups.
TEST(FinalCheck, SecondNamesGoAndTheRestKeepsItsOrder) {
    auto member = [](const char* name, char key, uint64_t device, uint64_t inode, uint32_t links) {
        FileRecord record;
        record.path = "/nowhere/";
        record.namenosuffix = name;
        record.size = 10;
        record.key.bytes[0] = static_cast<uint8_t>(key);
        record.device = device;
        record.inode = inode;
        record.links = links;
        return record;
    };
    std::vector<SizeGroup> groups{
        SizeGroup{
            10,
            {member("a1", 'A', 1, 1, 1), member("a2", 'A', 1, 1, 1), member("a3", 'A', 1, 2, 1),
             member("b1", 'B', 1, 3, 2), member("b2", 'B', 1, 3, 2), member("c1", 'C', 1, 4, 1),
             member("d1", 'D', 2, 1, 1), member("d2", 'D', 1, 1, 1), member("e1", 'E', 3, 5, 1),
             member("e2", 'E', 3, 5, 1)}},
        SizeGroup{20, {member("f1", 'F', 1, 6, 1), member("f2", 'F', 1, 7, 1)}}};
    groups[1].members[0].size = groups[1].members[1].size = 20;
    RecheckSets(groups);
    ASSERT_EQ(groups.size(), 2u);
    std::string names;
    for (const FileRecord& m : groups[0].members) names += m.namenosuffix + " ";
    // a2 is a1 under a second name; b1/b2 have two links (hard links stay); c1 and the
    // single name left of e1/e2 have no twin.
    EXPECT_EQ(names, "a1 a3 b1 b2 d1 d2 ");
    EXPECT_EQ(groups[1].members.size(), 2u);
}

// Runs in a child with a mount namespace of its own: x.dat is bind-mounted onto y.dat,
// so both names reach one inode with one link; z.dat is a real copy.
int BindMountChild(const fs::path& root) {
    if (unshare(CLONE_NEWNS) != 0) return 10;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 11;
    const fs::path x = root / "x.dat";
    const fs::path y = root / "y.dat";
    if (mount(x.c_str(), y.c_str(), nullptr, MS_BIND, nullptr) != 0) return 12;
    SearchEngine engine;
    engine.settings = testing::SettingsFor({root.string()});
    testing::RunSearchToEnd(engine);
    const auto sets = testing::Unordered(testing::DeliveredSets(engine));
    if (sets.size() != 1) return 20 + static_cast<int>(sets.size());
    const std::set<std::string>& found = *sets.begin();
    if (found.size() != 2 || found.count((root / "z.dat").string()) != 1) return 30;
    return 0;
}

TEST(FinalCheck, OneFileUnderTwoNamesIsNotItsOwnDuplicate) {
    if (std::system("unshare -m true 2>/dev/null") != 0)
        GTEST_SKIP() << "no mount namespace here, so no bind mount";
    testing::TempDir temp;
    const fs::path root = temp.Path() / "tree";
    fs::create_directories(root);
    std::ofstream(root / "x.dat") << "the same bytes in one file";
    std::ofstream(root / "y.dat") << "a file the bind mount covers";
    std::ofstream(root / "z.dat") << "the same bytes in one file";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(BindMountChild(root));
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10-12: no bind mount; 2x: sets found; 30: wrong set";
}

TEST(FinalCheck, TheHomeTrashWithATrailingSlash) {
    const char* before = std::getenv("XDG_DATA_HOME");
    const std::string saved = before != nullptr ? before : "";
    for (const auto& [value, trash] :
         {std::pair{"/home/u/data", "/home/u/data/Trash"},
          std::pair{"/home/u/data/", "/home/u/data/Trash"},
          std::pair{"/home/u/data//", "/home/u/data/Trash"}, std::pair{"/", "/Trash"}}) {
        setenv("XDG_DATA_HOME", value, 1);
        EXPECT_EQ(platform::UserTrashFolder(), trash) << value;
    }
    if (before != nullptr) {
        setenv("XDG_DATA_HOME", saved.c_str(), 1);
    } else {
        unsetenv("XDG_DATA_HOME");
    }
}

}  // namespace
}  // namespace merravine
