// Moving files into the freedesktop trash, checked on the real disk: where the file
// lands, what its .trashinfo says, unique names on a clash, and that a file which
// cannot be trashed, or is no longer the scanned one, stays where it is.
#include "platform/trash_move.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "support/temp_dir.h"
#include "util/text.h"

namespace merravine::platform {
namespace {

namespace fs = std::filesystem;

/// Points $XDG_DATA_HOME at a folder for one test and puts the old value back after.
class ScopedDataHome {
  public:
    explicit ScopedDataHome(const std::string& value) {
        if (const char* old = std::getenv("XDG_DATA_HOME")) old_ = old;
        setenv("XDG_DATA_HOME", value.c_str(), 1);
    }
    ~ScopedDataHome() {
        if (old_.empty()) {
            unsetenv("XDG_DATA_HOME");
        } else {
            setenv("XDG_DATA_HOME", old_.c_str(), 1);
        }
    }

  private:
    std::string old_;
};

std::string InfoPath(const std::string& info_text) {
    std::smatch match;
    static const std::regex kPath("Path=([^\n]*)\n");
    return std::regex_search(info_text, match, kPath) ? match[1].str() : std::string();
}

TEST(TrashMove, AFileOnTheHomeFileSystemLandsInTheHomeTrashWithItsInfo) {
    merravine::testing::TempDir temp;
    ScopedDataHome data_home((temp.Path() / "data").string());
    const auto file = temp.Write("docs/report 100%.txt", "twelve bytes");

    EXPECT_EQ(TrashScannedFile(file.string(), 12), RemoveOutcome::kRemoved);
    EXPECT_FALSE(fs::exists(file));
    const fs::path trash = temp.Path() / "data/Trash";
    EXPECT_EQ(temp.Read(trash / "files/report 100%.txt"), "twelve bytes");
    const std::string info = temp.Read(trash / "info/report 100%.txt.trashinfo");
    EXPECT_TRUE(info.starts_with("[Trash Info]\n")) << info;
    EXPECT_EQ(InfoPath(info), PercentEncodePath(file.string()));
    EXPECT_NE(InfoPath(info).find("/report%20100%25.txt"), std::string::npos) << info;
    EXPECT_TRUE(std::regex_search(
        info, std::regex("\nDeletionDate=[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\n")))
        << info;
    struct stat folder {};
    ASSERT_EQ(stat(trash.c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
}

TEST(TrashMove, NameClashesGetNamesOfTheirOwn) {
    merravine::testing::TempDir temp;
    ScopedDataHome data_home((temp.Path() / "data").string());
    const fs::path trash = temp.Path() / "data/Trash";
    // An info file without its file already holds the first name.
    temp.Write("data/Trash/info/photo.jpg.trashinfo", "[Trash Info]\n");
    std::vector<fs::path> originals;
    for (const char* folder : {"a", "b", "c"}) {
        originals.push_back(temp.Write(std::string(folder) + "/photo.jpg", folder));
        ASSERT_EQ(TrashScannedFile(originals.back().string(), 1), RemoveOutcome::kRemoved);
    }
    // Each trashed file has an info whose Path names its own original.
    size_t matched = 0;
    for (const auto& entry : fs::directory_iterator(trash / "files")) {
        const std::string name = entry.path().filename().string();
        const std::string info = temp.Read(trash / "info" / (name + ".trashinfo"));
        const std::string content = temp.Read(entry.path());
        EXPECT_EQ(InfoPath(info), PercentEncodePath((temp.Path() / content / "photo.jpg").string()))
            << name;
        ++matched;
    }
    EXPECT_EQ(matched, 3u);
    EXPECT_FALSE(fs::exists(trash / "files/photo.jpg"));
}

TEST(TrashMove, WhatIsNoLongerTheScannedFileOrCannotBeTrashedStays) {
    merravine::testing::TempDir temp;
    {
        ScopedDataHome data_home((temp.Path() / "data").string());
        const auto grown = temp.Write("grown.bin", "longer than before");
        fs::create_directories(temp.Path() / "folder.bin");
        EXPECT_EQ(TrashScannedFile(grown.string(), 3), RemoveOutcome::kNotTheScannedFile);
        EXPECT_EQ(TrashScannedFile((temp.Path() / "folder.bin").string(), 4096),
                  RemoveOutcome::kNotTheScannedFile);
        EXPECT_EQ(TrashScannedFile((temp.Path() / "gone.bin").string(), 3),
                  RemoveOutcome::kAlreadyGone);
        EXPECT_TRUE(fs::exists(grown));
        EXPECT_TRUE(fs::is_directory(temp.Path() / "folder.bin"));
    }
    // The home trash cannot be made (its place is taken by a plain file).
    temp.Write("blocker", "x");
    ScopedDataHome data_home((temp.Path() / "blocker/data").string());
    const auto file = temp.Write("keep.txt", "abc");
    EXPECT_EQ(TrashScannedFile(file.string(), 3), RemoveOutcome::kFailed);
    EXPECT_EQ(temp.Read(file), "abc");
}

TEST(TrashMove, AFileOnAnotherFileSystemGoesToTheTrashAtItsMountRoot) {
    struct stat shm {
    }, tmp{};
    merravine::testing::TempDir temp;
    if (stat("/dev/shm", &shm) != 0 || stat(temp.Path().c_str(), &tmp) != 0 ||
        shm.st_dev == tmp.st_dev) {
        GTEST_SKIP() << "no second file system to trash on";
    }
    ScopedDataHome data_home((temp.Path() / "data").string());
    const fs::path folder = fs::path("/dev/shm") / temp.Path().filename();
    fs::create_directories(folder);
    const fs::path file = folder / "on tmpfs.txt";
    { std::ofstream(file) << "four"; }
    const fs::path trash = fs::path("/dev/shm") / (".Trash-" + std::to_string(getuid()));
    const bool trash_existed = fs::exists(trash);

    EXPECT_EQ(TrashScannedFile(file.string(), 4), RemoveOutcome::kRemoved);
    EXPECT_FALSE(fs::exists(file));
    const fs::path landed = trash / "files/on tmpfs.txt";
    EXPECT_TRUE(fs::exists(landed));
    std::ifstream in(trash / "info/on tmpfs.txt.trashinfo");
    const std::string info((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Relative to the mount root, so the volume's own trash can restore it anywhere.
    EXPECT_EQ(InfoPath(info), PercentEncodePath(temp.Path().filename().string() + "/on tmpfs.txt"));
    EXPECT_FALSE(fs::exists(temp.Path() / "data/Trash"));

    std::error_code ignored;
    fs::remove_all(folder, ignored);
    if (trash_existed) {
        fs::remove(landed, ignored);
        fs::remove(trash / "info/on tmpfs.txt.trashinfo", ignored);
    } else {
        fs::remove_all(trash, ignored);
    }
}

TEST(TrashMove, PathValuesArePercentEncodedByteForByte) {
    EXPECT_EQ(PercentEncodePath("/a b/c%d/ü\xff.txt"), "/a%20b/c%25d/%C3%BC%FF.txt");
    EXPECT_EQ(PercentEncodePath("/plain-name_1.~/x"), "/plain-name_1.~/x");
}

}  // namespace
}  // namespace merravine::platform
