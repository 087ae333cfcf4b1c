// A folder's entries answer for what they are, a link is never followed, and a folder
// listed again (the same open folder, or one moved) gives every entry again.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_walk.h"
#include "support/temp_dir.h"

namespace merravine::platform {
namespace {

using testing::TempDir;

// Files, a folder, a link, a FIFO and a name that is gone: each answer (error, type,
// size, identity, times) is what the system says of the entry itself.
TEST(WalkFolderStats, EachEntryAnswersForWhatItIs) {
    constexpr size_t kSize = 5513;
    TempDir dir;
    dir.Write("file", std::string(kSize, 'x'));
    std::filesystem::create_directory(dir.Path() / "folder");
    std::filesystem::create_symlink("file", dir.Path() / "link");
    ASSERT_EQ(mkfifo((dir.Path() / "fifo").c_str(), 0600), 0);

    WalkFolder folder;
    ASSERT_EQ(folder.Open(dir.Path().string(), false), 0);
    EntryStat info;
    EXPECT_EQ(folder.Stat("gone", info), ENOENT);
    ASSERT_EQ(folder.Stat("link", info), 0);
    EXPECT_EQ(info.type, EntryType::Symlink);  // not followed
    ASSERT_EQ(folder.Stat("fifo", info), 0);
    EXPECT_EQ(info.type, EntryType::Other);
    ASSERT_EQ(folder.Stat("folder", info), 0);
    EXPECT_EQ(info.type, EntryType::Directory);

    ASSERT_EQ(folder.Stat("file", info), 0);
    struct stat system {};
    ASSERT_EQ(lstat((dir.Path() / "file").c_str(), &system), 0);
    EXPECT_EQ(info.type, EntryType::File);
    EXPECT_EQ(info.size, kSize);
    EXPECT_EQ(info.device, (uint64_t{major(system.st_dev)} << 32) | minor(system.st_dev));
    EXPECT_EQ(info.inode, static_cast<uint64_t>(system.st_ino));
    EXPECT_EQ(info.links, 1U);
    EXPECT_EQ(info.modifyNs, system.st_mtim.tv_sec * 1'000'000'000LL + system.st_mtim.tv_nsec);
    EXPECT_EQ(info.changeNs, system.st_ctim.tv_sec * 1'000'000'000LL + system.st_ctim.tv_nsec);
}

std::vector<std::string> ListNames(FolderEntries& entries, const WalkFolder& folder) {
    std::vector<std::string> names;
    entries.Start(folder);
    std::string_view name;
    EntryType type = EntryType::Unknown;
    while (entries.Next(name, type)) {
        if (name != "." && name != "..") names.emplace_back(name);
    }
    EXPECT_EQ(entries.Error(), 0);
    std::sort(names.begin(), names.end());
    return names;
}

TEST(WalkFolderStats, AFolderListedAgainGivesEveryEntryAgain) {
    TempDir dir;
    std::vector<std::string> expected;
    for (int i = 0; i < 700; ++i) {  // more than one buffer of entries
        expected.push_back("entry-with-a-longer-name-" + std::to_string(i));
        dir.Write(expected.back(), "");
    }
    std::sort(expected.begin(), expected.end());
    FolderEntries entries;
    WalkFolder folder;
    ASSERT_EQ(folder.Open(dir.Path().string(), false), 0);
    EXPECT_EQ(ListNames(entries, folder), expected);
    EXPECT_EQ(ListNames(entries, folder), expected);
    WalkFolder moved(std::move(folder));
    EXPECT_EQ(ListNames(entries, moved), expected);
    WalkFolder assigned;
    assigned = std::move(moved);
    EXPECT_EQ(ListNames(entries, assigned), expected);
}

}  // namespace
}  // namespace merravine::platform
