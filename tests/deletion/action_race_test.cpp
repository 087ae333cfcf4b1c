// Every action against what can change between a scan and the action: the file or its
// kept copy replaced by another file of the same size, by a link to a file outside, by
// a folder, its folder swapped for a link, the kept copy deleted. In each case nothing
// outside the set is touched, the content survives, and the reason is counted.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "deletion/action_commands.h"
#include "history/search_fixture.h"
#include "scratch_mount.h"

namespace merravine {
namespace {

namespace fs = std::filesystem;

enum class Race {
    None,
    TargetSameSize,
    TargetSymlink,
    TargetFolder,
    TargetParentSymlink,
    KeptSameSize,
    KeptSymlink,
    KeptFolder,
    KeptParentSymlink,
    KeptDeleted,
};

std::string Content(char seed, size_t size = 5000) {
    std::string text(size, '\0');
    uint32_t state = static_cast<uint32_t>(seed) * 2654435761u;
    for (char& c : text) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return text;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

class ActionRaceTest : public ::testing::TestWithParam<std::tuple<ActionKind, Race>> {
protected:
    void SetUp() override {
        setenv("XDG_DATA_HOME", (f_.temp.Path() / "xdg").c_str(), 1);
        fs::path base = f_.temp.Path();
        if (Kind() == ActionKind::Reflink) {
            mount_.emplace(testing::ScratchMount::XfsWithReflink(f_.temp.Path() / "xfs"));
            if (!mount_->Mounted()) GTEST_SKIP() << mount_->Why();
            base = mount_->Where();
        }
        root_ = base / "files";
        outside_ = base / "outside";
        moved_ = base / "moved";
        fs::create_directories(moved_);
        WriteFile(Target(), kData);
        WriteFile(Kept(), kData);
        WriteFile(outside_ / "same.bin", kData);  // the same bytes, outside every set
        WriteFile(outside_ / "t" / "file.bin", kData);
        f_.engine.settings.searchDirs = {root_.string()};
        f_.Search();
        ASSERT_EQ(f_.Rows().Count(), 2u);
    }
    void TearDown() override { unsetenv("XDG_DATA_HOME"); }

    ActionKind Kind() const { return std::get<0>(GetParam()); }
    Race TheRace() const { return std::get<1>(GetParam()); }
    fs::path Target() const { return root_ / "t" / "file.bin"; }
    fs::path Kept() const { return root_ / "k" / "file.bin"; }

    /// Replaces `path` as the race asks; the entry is another one afterwards.
    void Replace(const fs::path& path, Race how) {
        const fs::path folder = path.parent_path();
        switch (how) {
            case Race::TargetSameSize:
            case Race::KeptSameSize:
                fs::remove(path);
                WriteFile(path, kOther);
                break;
            case Race::TargetSymlink:
            case Race::KeptSymlink:
                fs::remove(path);
                fs::create_symlink(outside_ / "same.bin", path);
                break;
            case Race::TargetFolder:
            case Race::KeptFolder:
                fs::remove(path);
                fs::create_directories(path);
                WriteFile(path / "inner.bin", kData);
                break;
            case Race::TargetParentSymlink:
            case Race::KeptParentSymlink:
                fs::rename(folder, folder.string() + ".real");
                fs::create_symlink(outside_ / "t", folder);
                break;
            case Race::KeptDeleted:
                fs::remove(path);
                break;
            case Race::None:
                break;
        }
    }

    ActionCounts Run() {
        ActionBatch batch = BatchFromRows(f_.engine, testing::RowsIn(f_.Rows(), (root_ / "t").string() + "/"), Kind());
        batch.moveTarget = moved_.string() + "/";
        ActionCounts counts;
        RunActionBatch(worker_, &f_.engine, &f_.history, batch, counts);
        return counts;
    }

    const std::string kData = Content('d');
    const std::string kOther = Content('o');
    testing::SearchFixture f_;
    std::optional<testing::ScratchMount> mount_;
    ActionWorker worker_;
    fs::path root_;
    fs::path outside_;
    fs::path moved_;
};

TEST_P(ActionRaceTest, NothingOutsideTheSetIsTouchedAndTheContentSurvives) {
    const Race race = TheRace();
    const bool target_side = race == Race::TargetSameSize || race == Race::TargetSymlink ||
                             race == Race::TargetFolder || race == Race::TargetParentSymlink;
    if (race != Race::None) Replace(target_side ? Target() : Kept(), race);
    struct stat kept_before {};
    lstat(Kept().c_str(), &kept_before);

    const ActionCounts counts = Run();
    EXPECT_EQ(counts.requested, 1);
    EXPECT_EQ(counts.failed, 0) << (counts.failures.empty() ? "" : counts.failures.begin()->first);

    // Outside the set: untouched, whatever the links pointed at.
    EXPECT_EQ(ReadFile(outside_ / "same.bin"), kData);
    EXPECT_EQ(ReadFile(outside_ / "t" / "file.bin"), kData);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(outside_ / "same.bin")));

    if (race == Race::None) {
        EXPECT_EQ(counts.done, 1);
        EXPECT_EQ(ReadFile(Kept()), kData);
        struct stat target {};
        switch (Kind()) {
            case ActionKind::Delete:
            case ActionKind::Trash:
                EXPECT_FALSE(fs::exists(fs::symlink_status(Target())));
                break;
            case ActionKind::Move:
                EXPECT_FALSE(fs::exists(fs::symlink_status(Target())));
                EXPECT_EQ(ReadFile(moved_ / "t" / "file.bin"), kData);
                break;
            case ActionKind::HardLink:
                ASSERT_EQ(lstat(Target().c_str(), &target), 0);
                EXPECT_EQ(target.st_ino, kept_before.st_ino);
                EXPECT_EQ(ReadFile(Target()), kData);
                break;
            case ActionKind::Reflink:
                ASSERT_EQ(lstat(Target().c_str(), &target), 0);
                EXPECT_NE(target.st_ino, kept_before.st_ino);  // its own inode still
                EXPECT_EQ(ReadFile(Target()), kData);
                break;
        }
        return;
    }
    EXPECT_EQ(counts.done, 0);
    if (target_side) {
        EXPECT_EQ(counts.changed, 1);
        EXPECT_EQ(ReadFile(Kept()), kData);
        if (race == Race::TargetSameSize) {
            EXPECT_EQ(ReadFile(Target()), kOther);
        }
        if (race == Race::TargetSymlink) {
            EXPECT_TRUE(fs::is_symlink(Target()));
        }
        if (race == Race::TargetFolder) {
            EXPECT_EQ(ReadFile(Target() / "inner.bin"), kData);
        }
        if (race == Race::TargetParentSymlink) {
            EXPECT_TRUE(fs::is_symlink(Target().parent_path()));
            EXPECT_EQ(ReadFile(root_ / "t.real" / "file.bin"), kData);
        }
    } else {
        // The file is the last copy of its content inside the set: it stays as it was.
        EXPECT_EQ(counts.lastCopyKept, 1);
        EXPECT_EQ(ReadFile(Target()), kData);
        EXPECT_FALSE(fs::is_symlink(Target()));
        if (race == Race::KeptSameSize) {
            EXPECT_EQ(ReadFile(Kept()), kOther);
        }
        if (race == Race::KeptSymlink) {
            EXPECT_TRUE(fs::is_symlink(Kept()));
        }
    }
    EXPECT_TRUE(fs::is_empty(moved_));
}

std::string KindName(ActionKind kind) {
    switch (kind) {
        case ActionKind::Delete: return "Delete";
        case ActionKind::Trash: return "Trash";
        case ActionKind::HardLink: return "HardLink";
        case ActionKind::Reflink: return "Reflink";
        case ActionKind::Move: return "Move";
    }
    return "";
}

const char* const kRaceNames[] = {"None",         "TargetSameSize",      "TargetSymlink",
                                  "TargetFolder", "TargetParentSymlink", "KeptSameSize",
                                  "KeptSymlink",  "KeptFolder",          "KeptParentSymlink",
                                  "KeptDeleted"};

INSTANTIATE_TEST_SUITE_P(
    EveryActionEveryRace, ActionRaceTest,
    ::testing::Combine(::testing::Values(ActionKind::Delete, ActionKind::Trash, ActionKind::HardLink,
                                         ActionKind::Reflink, ActionKind::Move),
                       ::testing::Values(Race::None, Race::TargetSameSize, Race::TargetSymlink,
                                         Race::TargetFolder, Race::TargetParentSymlink,
                                         Race::KeptSameSize, Race::KeptSymlink, Race::KeptFolder,
                                         Race::KeptParentSymlink, Race::KeptDeleted)),
    [](const auto& param_info) {
        return KindName(std::get<0>(param_info.param)) + "_" +
               kRaceNames[static_cast<int>(std::get<1>(param_info.param))];
    });

}  // namespace
}  // namespace merravine
