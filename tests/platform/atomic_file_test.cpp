// Settings files on disk: the modes the program gives its own files, the temporary
// files a crash leaves, and files that are not plain files.
#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/log_file_ops.h"
#include "support/temp_dir.h"

namespace merravine::platform {
namespace {

namespace fs = std::filesystem;

mode_t ModeOf(const fs::path& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

TEST(AtomicFile, OwnFilesAreTheUsersAloneAndFollowTheUmask) {
    testing::TempDir dir;
    std::string error;
    for (const auto& [mask, expected] :
         {std::pair<mode_t, mode_t>{022, 0600}, {077, 0600}, {0377, 0400}}) {
        const mode_t before = umask(mask);
        const fs::path file = dir.Path() / ("Config-" + std::to_string(mask) + ".ini");
        EXPECT_TRUE(ReplaceFileAtomically(file.string(), "[setting]\n", error)) << error;
        EXPECT_EQ(ModeOf(file), expected) << "umask " << std::oct << mask;
        const fs::path log = dir.Path() / ("log-" + std::to_string(mask));
        LogFileOps ops;
        const int fd = ops.OpenForAppend(log.string());
        ops.Close(fd);
        EXPECT_EQ(ModeOf(log), expected);
        const fs::path folder = dir.Path() / ("Log-" + std::to_string(mask));
        EXPECT_TRUE(MakeFolder(folder.string()));
        EXPECT_EQ(ModeOf(folder), 0700 & ~mask);
        umask(before);
    }
    // A file made wider elsewhere is narrowed to the user's own bits on its next write.
    const fs::path wide = dir.Path() / "wide.ini";
    ASSERT_TRUE(ReplaceFileAtomically(wide.string(), "a", error));
    chmod(wide.c_str(), 0644);
    ASSERT_TRUE(ReplaceFileAtomically(wide.string(), "b", error));
    EXPECT_EQ(ModeOf(wide), 0600u);
    EXPECT_TRUE(CreatePrivateFile((dir.Path() / "duplicate.db").string()));
    EXPECT_EQ(ModeOf(dir.Path() / "duplicate.db"), 0600u);
    EXPECT_FALSE(CreatePrivateFile((dir.Path() / "duplicate.db").string()));
}

TEST(AtomicFile, LeftoverTemporariesGoAndNothingElse) {
    testing::TempDir dir;
    const fs::path config = dir.Path() / "Config.ini";
    dir.Write("Config.ini", "[setting]\n");
    for (const char* name : {"Config.ini.tmp-a1B2c3", "Config.ini.tmp-XXXXXX"})
        dir.Write(name, "x");
    for (const char* name :
         {"Config.ini.tmp-short", "Other.ini.tmp-a1B2c3", "Config.ini.tmp-a1B2c3d"})
        dir.Write(name, "keep");
    fs::create_directory(dir.Path() / "Config.ini.tmp-folder");
    EXPECT_EQ(RemoveLeftoverTemporaries(config.string()), 2);
    EXPECT_TRUE(fs::exists(config));
    EXPECT_TRUE(fs::exists(dir.Path() / "Config.ini.tmp-short"));
    EXPECT_TRUE(fs::exists(dir.Path() / "Other.ini.tmp-a1B2c3"));
    EXPECT_TRUE(fs::exists(dir.Path() / "Config.ini.tmp-a1B2c3d"));
    EXPECT_TRUE(fs::exists(dir.Path() / "Config.ini.tmp-folder"));
    EXPECT_FALSE(fs::exists(dir.Path() / "Config.ini.tmp-a1B2c3"));
}

TEST(AtomicFile, OnlyPlainFilesAreReadOrReplaced) {
    testing::TempDir dir;
    const fs::path fifo = dir.Path() / "Config.ini";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string content;
    EXPECT_EQ(ReadWholeFile(fifo.string(), content), FileReadStatus::kNotPlainFile);
    EXPECT_EQ(ReadWholeFile(dir.Path().string(), content), FileReadStatus::kNotPlainFile);
    EXPECT_EQ(ReadWholeFile((dir.Path() / "none").string(), content), FileReadStatus::kMissing);
    std::string error;
    EXPECT_FALSE(ReplaceFileAtomically(fifo.string(), "x", error));
    EXPECT_TRUE(fs::is_fifo(fifo));
}

}  // namespace
}  // namespace merravine::platform
