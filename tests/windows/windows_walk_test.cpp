// The walk on Windows, on real files made with the system's calls: the hidden, system and
// Recycle Bin rules against their skip flags, paths far beyond 260 characters, reparse
// points left alone, and hard links recognised as one file.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/file_read.h"
#include "platform/file_remove_scanned.h"
#include "platform/file_walk.h"
#include "platform/windows/win_text.h"
#include "windows_test_support.h"

namespace merravine {
namespace {

using testing::AddAttributes;
using testing::ProgramFolder;
using testing::SearchSets;
using testing::TempDir;
using testing::WriteFileAt;

TEST(WindowsWalk, HiddenSystemAndRecycleBinEntriesFollowTheirSkipFlags) {
    TempDir temp;
    const std::string root = ProgramFolder(temp) + "/tree";
    const std::string plain = root + "/plain.txt";
    const std::string hidden = root + "/hidden.txt";
    const std::string system = root + "/system.txt";
    const std::string in_hidden = root + "/hidden folder/inside.txt";
    const std::string in_system = root + "/system folder/inside.txt";
    const std::string recycled = root + "/$Recycle.Bin/S-1-5-21-1000/$R0AB12C.txt";
    const std::string kept = root + "/keep/kept.txt";
    for (const std::string* path :
         {&plain, &hidden, &system, &in_hidden, &in_system, &recycled, &kept}) {
        WriteFileAt(*path, "the same twenty bytes");
    }
    if (!AddAttributes(hidden, FILE_ATTRIBUTE_HIDDEN) ||
        !AddAttributes(system, FILE_ATTRIBUTE_SYSTEM) ||
        !AddAttributes(root + "/hidden folder", FILE_ATTRIBUTE_HIDDEN) ||
        !AddAttributes(root + "/system folder", FILE_ATTRIBUTE_SYSTEM)) {
        GTEST_SKIP() << "this file system does not keep the hidden and system attributes";
    }

    EXPECT_EQ(SearchSets({root}, 0),
              (std::set<std::set<std::string>>{
                  {plain, hidden, system, in_hidden, in_system, recycled, kept}}));
    EXPECT_EQ(SearchSets({root}, FILE_SKIP_HIDE),
              (std::set<std::set<std::string>>{{plain, system, in_system, recycled, kept}}));
    EXPECT_EQ(SearchSets({root}, FILE_SKIP_SYSTEM),
              (std::set<std::set<std::string>>{{plain, hidden, in_hidden, recycled, kept}}));
    // The Recycle Bin's name is matched without regard to letter case.
    EXPECT_EQ(
        SearchSets({root}, FILE_SKIP_RECYCLE),
        (std::set<std::set<std::string>>{{plain, hidden, system, in_hidden, in_system, kept}}));
    EXPECT_EQ(SearchSets({root}, FILE_SKIP_HIDE | FILE_SKIP_SYSTEM | FILE_SKIP_RECYCLE),
              (std::set<std::set<std::string>>{{plain, kept}}));
}

TEST(WindowsWalk, FindsReadsAndRemovesFilesFarBeyondTheOldPathLimit) {
    TempDir temp;
    const std::string root = ProgramFolder(temp) + "/long";
    std::string deep = root;
    for (int level = 0; deep.size() < 600; ++level)
        deep += "/" + std::string(48, static_cast<char>('a' + level));
    const std::string twin_a = deep + "/twin a.txt";
    const std::string twin_b = deep + "/twin b.txt";
    const std::string nearly = deep + "/near.txt";
    const std::string shallow = root + "/twin c.txt";
    WriteFileAt(twin_a, "content of the twins");
    WriteFileAt(twin_b, "content of the twins");
    WriteFileAt(nearly, "content of the twinz");
    WriteFileAt(shallow, "content of the twins");
    ASSERT_GT(twin_a.size(), 600u);

    EXPECT_EQ(SearchSets({root}, 0), (std::set<std::set<std::string>>{{twin_a, twin_b, shallow}}));

    platform::ContentFile file;
    ASSERT_EQ(file.Open(twin_a), 0);
    char buffer[64] = {};
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 20);
    EXPECT_EQ(std::string(buffer, 20), "content of the twins");

    EXPECT_EQ(platform::RemoveScannedFile(twin_b, 21), platform::RemoveOutcome::kNotTheScannedFile);
    EXPECT_EQ(platform::RemoveScannedFile(twin_b, 20), platform::RemoveOutcome::kRemoved);
    EXPECT_EQ(platform::RemoveScannedFile(twin_b, 20), platform::RemoveOutcome::kAlreadyGone);
    EXPECT_EQ(SearchSets({root}, 0), (std::set<std::set<std::string>>{{twin_a, shallow}}));
}

TEST(WindowsWalk, ReparsePointsAreNeitherFollowedNorListedAsFiles) {
    TempDir temp;
    const std::string root = ProgramFolder(temp) + "/links";
    WriteFileAt(root + "/real/a.txt", "linked content");
    WriteFileAt(root + "/b.txt", "linked content");
    const std::wstring base = platform::SystemPath(root);
    const DWORD unprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    if (!CreateSymbolicLinkW((base + L"\\folder link").c_str(), (base + L"\\real").c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY | unprivileged) ||
        !CreateSymbolicLinkW((base + L"\\file link.txt").c_str(), (base + L"\\b.txt").c_str(),
                             unprivileged)) {
        GTEST_SKIP() << "symbolic links cannot be made here (" << GetLastError() << ")";
    }
    if (GetFileAttributesW((base + L"\\folder link").c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "CreateSymbolicLinkW answered success without making a link (Wine's stub)";
    }
    platform::EntryStat link;
    ASSERT_EQ(platform::StatPath(root + "/folder link", link), 0);
    EXPECT_EQ(link.type, platform::EntryType::Symlink);

    EXPECT_EQ(SearchSets({root}, 0),
              (std::set<std::set<std::string>>{{root + "/real/a.txt", root + "/b.txt"}}));
}

TEST(WindowsWalk, HardLinksOfOneFileShareTheirIdentity) {
    TempDir temp;
    const std::string root = ProgramFolder(temp);
    WriteFileAt(root + "/first.txt", "one file, two names");
    WriteFileAt(root + "/other.txt", "one file, two names");
    ASSERT_TRUE(CreateHardLinkW(platform::SystemPath(root + "/second.txt").c_str(),
                                platform::SystemPath(root + "/first.txt").c_str(), nullptr));
    platform::EntryStat first;
    platform::EntryStat second;
    platform::EntryStat other;
    ASSERT_EQ(platform::StatPath(root + "/first.txt", first), 0);
    ASSERT_EQ(platform::StatPath(root + "/second.txt", second), 0);
    ASSERT_EQ(platform::StatPath(root + "/other.txt", other), 0);
    EXPECT_EQ(first.type, platform::EntryType::File);
    EXPECT_EQ(first.size, 19u);
    EXPECT_EQ(first.links, 2u);
    EXPECT_EQ(first.device, second.device);
    EXPECT_EQ(first.inode, second.inode);
    EXPECT_NE(first.inode, other.inode);
    EXPECT_GT(first.modifyNs, 1600000000LL * 1000000000LL);  // a time after 2020, in the 1970 epoch
}

}  // namespace
}  // namespace merravine
