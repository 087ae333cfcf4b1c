// Entries of a folder examined in batches answer as they do one at a time, and a
// folder listed again (the same open folder, or one moved) gives every entry again.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

// Files, a folder, a link, a FIFO and a name that is gone, more than one batch of
// them: each answer (error, type, size, identity, times) is Stat's.
TEST(WalkFolderStats, ManyAtOnceAnswerAsOneAtATime) {
    TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 150; ++i) {
        names.push_back("file" + std::to_string(i));
        dir.Write(names.back(), std::string(static_cast<size_t>(i) * 37, 'x'));
    }
    std::filesystem::create_directory(dir.Path() / "folder");
    std::filesystem::create_symlink("file1", dir.Path() / "link");
    ASSERT_EQ(mkfifo((dir.Path() / "fifo").c_str(), 0600), 0);
    for (const char* other : {"folder", "link", "fifo", "gone"})
        names.insert(names.begin() + 70, other);

    WalkFolder folder;
    ASSERT_EQ(folder.Open(dir.Path().string(), false), 0);
    std::vector<const char*> pointers;
    pointers.reserve(names.size());
    for (const std::string& name : names) pointers.push_back(name.c_str());
    std::vector<EntryStat> many(names.size());
    std::vector<int> errors(names.size(), -1);
    folder.StatMany(pointers, many, errors);
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        EntryStat one;
        EXPECT_EQ(errors[i], folder.Stat(names[i].c_str(), one));
        if (errors[i] != 0) continue;
        EXPECT_EQ(many[i].type, one.type);
        EXPECT_EQ(many[i].size, one.size);
        EXPECT_EQ(many[i].device, one.device);
        EXPECT_EQ(many[i].inode, one.inode);
        EXPECT_EQ(many[i].links, one.links);
        EXPECT_EQ(many[i].modifyNs, one.modifyNs);
        EXPECT_EQ(many[i].changeNs, one.changeNs);
    }
    const auto at = [&](const char* name) {
        return static_cast<size_t>(std::find(names.begin(), names.end(), name) - names.begin());
    };
    EXPECT_EQ(errors[at("gone")], ENOENT);
    EXPECT_EQ(many[at("link")].type, EntryType::Symlink);  // not followed
    EXPECT_EQ(many[at("fifo")].type, EntryType::Other);
    EXPECT_EQ(many[at("folder")].type, EntryType::Directory);
    EXPECT_EQ(many[at("file149")].size, 149U * 37U);
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
