// The action path's file operations on Windows, on real files: folders are checked and
// held, a file is acted on only while it is the one stamped, links share the kept file,
// moves never replace, and what Windows does not offer answers EOPNOTSUPP.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>

#include "platform/file_actions.h"
#include "platform/windows/win_text.h"
#include "windows_test_support.h"

namespace merravine {
namespace {

using platform::FileStamp;
using platform::Folder;

TEST(WindowsActions, CanonicalFoldersAreAbsoluteAndClean) {
    for (const char* good :
         {"C:/", "C:/a/b/", "z:\\data\\x\\", "//server/share/a/", "C:/a b/\xC3\xA9/"}) {
        EXPECT_TRUE(platform::IsCanonicalFolder(good)) << good;
    }
    for (const char* bad :
         {"", "/", "a/b/", "C:", "C:/a", "C:/a//b/", "C:/a/./b/", "C:/a/../b/", "C:relative/"}) {
        EXPECT_FALSE(platform::IsCanonicalFolder(bad)) << bad;
    }
    EXPECT_TRUE(platform::IsPlainName("photo.jpg"));
    for (const char* bad : {"", ".", "..", "a/b", "a\\b", "C:x"})
        EXPECT_FALSE(platform::IsPlainName(bad)) << bad;
}

TEST(WindowsActions, LinksRemovesAndMovesOnlyTheStampedFiles) {
    testing::TempDir temp;
    const std::string root = testing::ProgramFolder(temp) + "/";
    testing::WriteFileAt(root + "keep/kept.txt", "twin bytes");
    testing::WriteFileAt(root + "dup/copy.txt", "twin bytes");
    testing::WriteFileAt(root + "dup/other.txt", "twin bytez");
    testing::WriteFileAt(root + "dup/moved.txt", "twin bytes");
    testing::WriteFileAt(root + "target/moved.txt", "already here");
    Folder keep;
    Folder dup;
    Folder target;
    ASSERT_EQ(platform::OpenFolder(root + "keep/", keep), 0);
    ASSERT_EQ(platform::OpenFolder(root + "dup/", dup), 0);
    ASSERT_EQ(platform::OpenFolder(root + "target/", target), 0);
    EXPECT_EQ(platform::OpenFolder(root + "missing/", target), ENOENT);
    EXPECT_EQ(platform::OpenFolder(root + "keep/kept.txt/", target), ENOTDIR);

    FileStamp kept;
    FileStamp copy;
    FileStamp other;
    ASSERT_EQ(platform::StampOf(keep, "kept.txt", kept), 0);
    ASSERT_EQ(platform::StampOf(dup, "copy.txt", copy), 0);
    ASSERT_EQ(platform::StampOf(dup, "other.txt", other), 0);
    EXPECT_TRUE(kept.plain);
    EXPECT_EQ(kept.size, 10u);
    bool equal = false;
    ASSERT_EQ(platform::CompareFiles(keep, "kept.txt", kept, dup, "copy.txt", copy, equal), 0);
    EXPECT_TRUE(equal);
    ASSERT_EQ(platform::CompareFiles(keep, "kept.txt", kept, dup, "other.txt", other, equal), 0);
    EXPECT_FALSE(equal);
    // A stamp of another file (here: other's) is refused before any byte is read.
    EXPECT_EQ(platform::CompareFiles(keep, "kept.txt", kept, dup, "copy.txt", other, equal),
              ESTALE);

    // The copy becomes a hard link of the kept file, under its own name.
    ASSERT_EQ(platform::LinkOver(keep, "kept.txt", kept, dup, "copy.txt", copy), 0);
    FileStamp linked;
    ASSERT_EQ(platform::StampOf(dup, "copy.txt", linked), 0);
    EXPECT_EQ(linked.inode, kept.inode);
    EXPECT_EQ(linked.links, 2u);
    // Linking again over a stamp that no longer holds is refused and changes nothing.
    EXPECT_EQ(platform::LinkOver(keep, "kept.txt", kept, dup, "other.txt", copy), ESTALE);
    ASSERT_EQ(platform::StampOf(dup, "other.txt", linked), 0);
    EXPECT_EQ(linked.inode, other.inode);

    FileStamp moved;
    ASSERT_EQ(platform::StampOf(dup, "moved.txt", moved), 0);
    EXPECT_EQ(platform::MoveEntry(dup, "moved.txt", moved, target, "moved.txt"), EEXIST);
    ASSERT_EQ(platform::MoveEntry(dup, "moved.txt", moved, target, "moved 2.txt"), 0);
    EXPECT_EQ(platform::StampOf(dup, "moved.txt", linked), ENOENT);

    EXPECT_EQ(platform::CloneOver(keep, "kept.txt", kept, dup, "other.txt", other), EOPNOTSUPP);
    EXPECT_FALSE(platform::CanCloneIn(root));

    // A read-only file is removed as well.
    const std::wstring other_path = platform::SystemPath(root + "dup/other.txt");
    ASSERT_TRUE(SetFileAttributesW(other_path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(platform::RemoveEntry(dup, "other.txt"), 0);
    EXPECT_EQ(GetFileAttributesW(other_path.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace merravine
