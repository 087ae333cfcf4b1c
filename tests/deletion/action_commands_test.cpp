// The action commands as the page calls them: rows no scan delivered, rows with "..",
// files behind a folder swapped for a link, content changed at the same size, every
// copy of a set, protected files; true counts when the worker fails part way; stored
// scans compared byte for byte; undo of a trash run; moves refused or cut short by a
// full disk; a read-only folder; a hard link across file systems.
#include "deletion/action_commands.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "history/search_fixture.h"
#include "scratch_mount.h"

namespace merravine {
namespace {

namespace fs = std::filesystem;
using testing::RowsIn;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

ScriptValue Row(const std::string& folder, const std::string& namenosuffix,
                const std::string& suffix, uint64_t size) {
    const std::string text = std::to_string(size);
    return ScriptValue::List({ScriptValue::Int(1), ScriptValue::Text(folder),
                              ScriptValue::Text(namenosuffix), ScriptValue::Text(suffix),
                              ScriptValue::Text(text), ScriptValue::Text(text)});
}

class ActionCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("XDG_DATA_HOME", (f_.temp.Path() / "xdg").c_str(), 1);
        StoreEveryFinishedScan(f_.engine, f_.history);
    }
    void TearDown() override { unsetenv("XDG_DATA_HOME"); }

    std::string R(const std::string& relative = "") const { return f_.Root() + "/" + relative; }

    /// Waits for the report of run `run` and for the thread to end.
    ScriptValue Finish(size_t run = 1) {
        const auto calls = f_.bridge.WaitForCalls(run);
        worker_.Join();
        EXPECT_EQ(calls[run - 1].first, "DelFileResultToUI");
        return calls[run - 1].second;
    }
    /// [requested, done, failed, changed, last copy kept, protected, refused].
    static std::vector<int32_t> Head(const ScriptValue& report) {
        std::vector<int32_t> head;
        for (size_t i = 0; i < 7; ++i) head.push_back(report.At(i).IntOr(-1));
        return head;
    }

    testing::SearchFixture f_;
    ActionWorker worker_;
};

TEST_F(ActionCommandsTest, TheCommandsRefuseWhatNoScanDeliveredAndKeepEveryLastCopy) {
    const std::string same(300, 's');
    for (const char* name : {"a/x.bin", "b/x.bin"}) f_.Write(name, same);
    for (const char* name : {"c/y.bin", "d/y.bin"}) f_.Write(name, std::string(400, 'y'));
    for (const char* name : {"e/z.bin", "f/z.bin"}) f_.Write(name, std::string(500, 'z'));
    for (const char* name : {"g/p.bin", "h/p.bin"}) f_.Write(name, std::string(600, 'p'));
    f_.engine.settings.protectDirs = {R("g")};
    const std::string outside = (f_.temp.Path() / "outside").string();
    f_.temp.Write("outside/secret.bin", same);
    f_.temp.Write("outside/y.bin", std::string(400, 'y'));
    f_.Search();
    ASSERT_EQ(f_.Rows().Count(), 8u);

    // After the scan: c/ becomes a link to a folder outside, e/z.bin is rewritten in
    // place with other bytes of the same size.
    fs::rename(R("c"), R("c.real"));
    fs::create_symlink(outside, R("c"));
    std::ofstream(R("e/z.bin"), std::ios::binary | std::ios::trunc) << std::string(500, 'Z');

    ScriptValue rows = ScriptValue::List({});
    rows.Append(Row(outside + "/", "secret.", "bin", 300));          // never scanned
    rows.Append(Row(R("a/../../outside/"), "secret.", "bin", 300));  // ".." on the way
    rows.Append(Row(R("a/"), "x.", "bin", 301));                     // not the delivered size
    for (const char* folder : {"c/", "e/", "a/", "b/", "g/"}) {
        const ScriptValue in_folder = RowsIn(f_.Rows(), R(folder));
        for (const ScriptValue& row : in_folder.Elements()) rows.Append(row);
    }
    ASSERT_EQ(rows.Count(), 8u);
    for (const bool trash : {false, true}) {
        const ScriptValue started =
            trash ? TrashFiles(worker_, f_.engine, f_.history, f_.bridge, rows)
                  : DeleteFiles(worker_, f_.engine, f_.history, f_.bridge, rows);
        ASSERT_EQ(started, ScriptValue::Int(0));
        // Refused 3; changed 2 (the linked folder, the rewritten file); both copies of
        // a/x.bin and b/x.bin ticked: each is the last copy; g/p.bin protected.
        EXPECT_EQ(Head(Finish(trash ? 2 : 1)), (std::vector<int32_t>{8, 0, 0, 2, 2, 1, 3}));
    }
    EXPECT_EQ(ReadFile(outside + "/secret.bin"), same);
    EXPECT_EQ(ReadFile(outside + "/y.bin"), std::string(400, 'y'));
    EXPECT_EQ(ReadFile(R("c.real/y.bin")), std::string(400, 'y'));
    EXPECT_EQ(ReadFile(R("e/z.bin")), std::string(500, 'Z'));
    for (const char* name : {"a/x.bin", "b/x.bin", "g/p.bin", "h/p.bin", "d/y.bin", "f/z.bin"}) {
        EXPECT_TRUE(fs::exists(R(name))) << name;
    }
    EXPECT_FALSE(fs::exists(f_.temp.Path() / "xdg" / "Trash" / "files"));
}

TEST_F(ActionCommandsTest, AWorkerThatFailsPartWayReportsWhatItDid) {
    for (int i = 0; i < 5; ++i) {
        const std::string content(static_cast<size_t>(10 + i), 'c');
        f_.Write("one/f" + std::to_string(i), content);
        f_.Write("two/f" + std::to_string(i), content);
    }
    f_.Search();
    worker_.SetAfterEachFile([](size_t done) {
        if (done == 2) throw std::runtime_error("disk gone");
    });
    ASSERT_EQ(DeleteFiles(worker_, f_.engine, f_.history, f_.bridge, RowsIn(f_.Rows(), R("one/"))),
              ScriptValue::Int(0));
    EXPECT_EQ(Head(Finish()), (std::vector<int32_t>{5, 2, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(DeletionRunning(worker_));
    EXPECT_EQ(f_.FilesInGroups().size(), 8u);
}

TEST_F(ActionCommandsTest, AFolderProtectedAfterTheScanIsRefusedToo) {
    f_.Write("a/x.bin", "same");
    f_.Write("b/x.bin", "same");
    f_.Search();
    f_.engine.settings.protectDirs = {R("a")};
    for (const bool trash : {false, true}) {
        const ScriptValue rows = RowsIn(f_.Rows(), R("a/"));
        ASSERT_EQ(trash ? TrashFiles(worker_, f_.engine, f_.history, f_.bridge, rows)
                        : DeleteFiles(worker_, f_.engine, f_.history, f_.bridge, rows),
                  ScriptValue::Int(0));
        EXPECT_EQ(Head(Finish(trash ? 2 : 1)), (std::vector<int32_t>{1, 0, 0, 0, 0, 1, 0}));
    }
    EXPECT_TRUE(fs::exists(R("a/x.bin")));
}

TEST_F(ActionCommandsTest, AStoredScanIsCheckedByItsBytes) {
    f_.Write("a/x.bin", std::string(700, 'x'));
    f_.Write("b/x.bin", std::string(700, 'x'));
    f_.Write("a/y.bin", std::string(800, 'y'));
    f_.Write("b/y.bin", std::string(800, 'y'));
    f_.Search();
    const int32_t id = GetScanReord(f_.history).At(0).At(0).IntOr(0);
    ASSERT_EQ(LoadRecord(f_.engine, f_.history, f_.bridge, ScriptValue::Int(id), false),
              ScriptValue::Int(4));
    f_.bridge.WaitForCalls(1);
    // The kept copy of y gets other bytes but keeps its size and modification time.
    struct stat before {};
    ASSERT_EQ(stat(R("b/y.bin").c_str(), &before), 0);
    std::ofstream(R("b/y.bin"), std::ios::binary | std::ios::trunc) << std::string(800, 'Y');
    const struct utimbuf times { before.st_atime, before.st_mtime };
    utime(R("b/y.bin").c_str(), &times);

    ASSERT_EQ(DeleteFiles(worker_, f_.engine, f_.history, f_.bridge, RowsIn(f_.Rows(), R("a/"))),
              ScriptValue::Int(0));
    EXPECT_EQ(Head(Finish(2)), (std::vector<int32_t>{2, 1, 0, 1, 0, 0, 0}));
    EXPECT_FALSE(fs::exists(R("a/x.bin")));
    EXPECT_EQ(ReadFile(R("a/y.bin")), std::string(800, 'y'));  // its only copy
}

TEST_F(ActionCommandsTest, UndoPutsTrashedFilesBackButNeverOverANewFile) {
    for (const char* name : {"a/x.bin", "b/x.bin"}) f_.Write(name, std::string(100, 'x'));
    for (const char* name : {"a/y.bin", "b/y.bin"}) f_.Write(name, std::string(200, 'y'));
    f_.Search();
    ASSERT_EQ(TrashFiles(worker_, f_.engine, f_.history, f_.bridge, RowsIn(f_.Rows(), R("a/"))),
              ScriptValue::Int(0));
    const ScriptValue report = Finish();
    EXPECT_EQ(Head(report), (std::vector<int32_t>{2, 2, 0, 0, 0, 0, 0}));
    EXPECT_EQ(report.At(8), ScriptValue::Int(2));  // two files can be put back
    f_.Write("a/y.bin", "a new file in its place");

    EXPECT_EQ(UndoTrash(worker_), ScriptValue::List({ScriptValue::Int(1), ScriptValue::Int(1)}));
    EXPECT_EQ(ReadFile(R("a/x.bin")), std::string(100, 'x'));
    EXPECT_EQ(ReadFile(R("a/y.bin")), "a new file in its place");
    const fs::path trash = f_.temp.Path() / "xdg" / "Trash";
    EXPECT_FALSE(fs::exists(trash / "info" / "x.bin.trashinfo"));
    EXPECT_TRUE(fs::exists(trash / "info" / "y.bin.trashinfo"));
    EXPECT_EQ(ReadFile(trash / "files" / "y.bin"), std::string(200, 'y'));
    // Nothing left to undo.
    EXPECT_EQ(UndoTrash(worker_), ScriptValue::List({ScriptValue::Int(0), ScriptValue::Int(0)}));
}

TEST_F(ActionCommandsTest, AMoveFolderInsideOrAroundASearchFolderIsRefused) {
    f_.Write("a/x.bin", "same");
    f_.Write("b/x.bin", "same");
    f_.Write("sub/keep.txt", "k");
    f_.Search();
    const ScriptValue rows = RowsIn(f_.Rows(), R("a/"));
    for (const std::string& target :
         {R("sub"), f_.Root(), f_.temp.Path().string(), std::string("relative"),
          (f_.temp.Path() / "missing").string()}) {
        EXPECT_EQ(
            MoveFiles(worker_, f_.engine, f_.history, f_.bridge, rows, ScriptValue::Text(target)),
            ScriptValue::Int(ACTION_BAD_TARGET))
            << target;
    }
    EXPECT_EQ(f_.bridge.CallCount(), 0u);
    fs::create_directories(f_.temp.Path() / "aside");
    ASSERT_EQ(MoveFiles(worker_, f_.engine, f_.history, f_.bridge, rows,
                        ScriptValue::Text((f_.temp.Path() / "aside").string())),
              ScriptValue::Int(0));
    EXPECT_EQ(Head(Finish()), (std::vector<int32_t>{1, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ReadFile(f_.temp.Path() / "aside" / "a" / "x.bin"), "same");
    EXPECT_EQ(f_.FilesInGroups(), std::vector<std::string>{R("b/x.bin")});
}

TEST_F(ActionCommandsTest, AFullDiskDuringAMoveAcrossFileSystemsLosesNothing) {
    testing::ScratchMount small = testing::ScratchMount::Tmpfs(f_.temp.Path() / "small", "64k");
    if (!small.Mounted()) GTEST_SKIP() << small.Why();
    const std::string big(300 * 1024, 'b');
    f_.Write("a/big.bin", big);
    f_.Write("b/big.bin", big);
    f_.Write("a/tiny.bin", "tiny");
    f_.Write("b/tiny.bin", "tiny");
    f_.Search();
    ASSERT_EQ(MoveFiles(worker_, f_.engine, f_.history, f_.bridge, RowsIn(f_.Rows(), R("a/")),
                        ScriptValue::Text(small.Where().string())),
              ScriptValue::Int(0));
    const ScriptValue report = Finish();
    EXPECT_EQ(Head(report), (std::vector<int32_t>{2, 1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(
        report.At(7),
        ScriptValue::List({ScriptValue::List({ScriptValue::Text("ENOSPC"), ScriptValue::Int(1)})}));
    EXPECT_EQ(ReadFile(R("a/big.bin")), big);
    EXPECT_EQ(ReadFile(small.Where() / "a" / "tiny.bin"), "tiny");
    EXPECT_FALSE(fs::exists(R("a/tiny.bin")));
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(small.Where() / "a"))
        left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"tiny.bin"});  // no partial copy stays
}

TEST_F(ActionCommandsTest, AReadOnlyFolderIsCountedAsFailedAndLeftAsItWas) {
    testing::ScratchMount ro = testing::ScratchMount::Tmpfs(f_.temp.Path() / "ro", "1m");
    if (!ro.Mounted()) GTEST_SKIP() << ro.Why();
    const fs::path base = ro.Where();
    for (const char* name : {"a/x.bin", "b/x.bin"}) {
        fs::create_directories((base / name).parent_path());
        std::ofstream(base / name, std::ios::binary) << "same bytes";
    }
    f_.engine.settings.searchDirs = {base.string()};
    f_.Search();
    ASSERT_EQ(f_.Rows().Count(), 2u);
    if (!ro.MakeReadOnly()) GTEST_SKIP() << "cannot remount read-only here";
    const ScriptValue rows = RowsIn(f_.Rows(), (base / "a").string() + "/");
    for (const ActionKind kind : {ActionKind::Delete, ActionKind::Trash, ActionKind::HardLink}) {
        ActionBatch batch = BatchFromRows(f_.engine, rows, kind);
        ActionCounts counts;
        RunActionBatch(worker_, &f_.engine, &f_.history, batch, counts);
        EXPECT_EQ(counts.failed, 1);
        EXPECT_EQ(counts.done, 0);
    }
    EXPECT_EQ(ReadFile(base / "a/x.bin"), "same bytes");
    EXPECT_EQ(ReadFile(base / "b/x.bin"), "same bytes");
}

TEST_F(ActionCommandsTest, AHardLinkAcrossFileSystemsIsSkippedWithTheReason) {
    testing::ScratchMount other = testing::ScratchMount::Tmpfs(f_.temp.Path() / "other", "1m");
    if (!other.Mounted()) GTEST_SKIP() << other.Why();
    f_.Write("a/x.bin", "same bytes");
    std::ofstream(other.Where() / "x.bin", std::ios::binary) << "same bytes";
    f_.engine.settings.searchDirs = {f_.Root(), other.Where().string()};
    f_.Search();
    ASSERT_EQ(f_.Rows().Count(), 2u);
    ASSERT_EQ(LinkFiles(worker_, f_.engine, f_.history, f_.bridge, RowsIn(f_.Rows(), R("a/"))),
              ScriptValue::Int(0));
    const ScriptValue report = Finish();
    EXPECT_EQ(Head(report), (std::vector<int32_t>{1, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(
        report.At(7),
        ScriptValue::List({ScriptValue::List({ScriptValue::Text("EXDEV"), ScriptValue::Int(1)})}));
    EXPECT_EQ(ReadFile(R("a/x.bin")), "same bytes");
}

}  // namespace
}  // namespace merravine
