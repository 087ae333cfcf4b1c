// The action commands as the page calls them: rows no scan delivered, rows with "..",
// files behind a folder swapped for a link, content changed at the same size, every
// copy of a set, protected files; true counts when the worker fails part way; stored
// scans compared byte for byte; undo of a trash run; export; moves refused or cut
// short by a full disk; a read-only folder; and the dedupe command line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "deletion/action_commands.h"
#include "deletion/dedupe_cli.h"
#include "deletion/results_export.h"
#include "history/search_fixture.h"
#include "scratch_mount.h"
#include "search/scan_output.h"

namespace merravine {
namespace {

namespace fs = std::filesystem;
using testing::RowsIn;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

ScriptValue Row(const std::string& folder, const std::string& namenosuffix, const std::string& suffix,
                uint64_t size) {
    const std::string text = std::to_string(size);
    return ScriptValue::List({ScriptValue::Int(1), ScriptValue::Text(folder), ScriptValue::Text(namenosuffix),
                              ScriptValue::Text(suffix), ScriptValue::Text(text), ScriptValue::Text(text)});
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
        if (worker_.deleteThread.joinable()) worker_.deleteThread.join();
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
    rows.Append(Row(outside + "/", "secret.", "bin", 300));         // never scanned
    rows.Append(Row(R("a/../../outside/"), "secret.", "bin", 300));  // ".." on the way
    rows.Append(Row(R("a/"), "x.", "bin", 301));                     // not the delivered size
    for (const char* folder : {"c/", "e/", "a/", "b/", "g/"}) {
        const ScriptValue in_folder = RowsIn(f_.Rows(), R(folder));
        for (const ScriptValue& row : in_folder.Elements()) rows.Append(row);
    }
    ASSERT_EQ(rows.Count(), 8u);
    for (const bool trash : {false, true}) {
        const ScriptValue started = trash ? TrashFiles(worker_, f_.engine, f_.history, f_.bridge, rows)
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
    worker_.afterEachFile = [](size_t done) {
        if (done == 2) throw std::runtime_error("disk gone");
    };
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
    ASSERT_EQ(LoadRecord(f_.engine, f_.history, f_.bridge, ScriptValue::Int(id), false), ScriptValue::Int(4));
    f_.bridge.WaitForCalls(1);
    // The kept copy of y gets other bytes but keeps its size and modification time.
    struct stat before {};
    ASSERT_EQ(stat(R("b/y.bin").c_str(), &before), 0);
    std::ofstream(R("b/y.bin"), std::ios::binary | std::ios::trunc) << std::string(800, 'Y');
    const struct utimbuf times {before.st_atime, before.st_mtime};
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

TEST_F(ActionCommandsTest, ExportWritesWhatTheScanCommandPrints) {
    f_.Write("a/x,1.txt", "same\n");
    f_.Write("b/x\"2.txt", "same\n");
    f_.Search();
    for (const std::string format : {"csv", "json"}) {
        const std::string file = (f_.temp.Path() / ("out." + format)).string();
        ASSERT_EQ(ExportResults(f_.engine, ScriptValue::Text(file), ScriptValue::Text(format)), ScriptValue::Int(0));
        std::ostringstream expected;
        ScanStats stats;
        stats.counted = f_.engine.totalNumber.load();
        stats.scanned = f_.engine.scanNumber.load();
        stats.duplicates = f_.engine.duplicateNumber.load();
        stats.unreadable = f_.engine.unreadableNumber.load();
        stats.bytesRead = f_.engine.bytesRead.load();
        WriteScanResult(expected, format == "csv" ? ScanFormat::Csv : ScanFormat::Json, f_.engine.groups, stats);
        EXPECT_EQ(ReadFile(file), expected.str());
    }
    EXPECT_EQ(ExportResults(f_.engine, ScriptValue::Text("relative.csv"), ScriptValue::Text("csv")), ScriptValue::Int(2));
    EXPECT_EQ(ExportResults(f_.engine, ScriptValue::Text("/tmp/x.csv"), ScriptValue::Text("xml")), ScriptValue::Int(2));
    EXPECT_EQ(ExportResults(f_.engine, ScriptValue::Text((f_.temp.Path() / "no/such/out.csv").string()),
                            ScriptValue::Text("csv")),
              ScriptValue::Int(3));
}

TEST_F(ActionCommandsTest, AMoveFolderInsideOrAroundASearchFolderIsRefused) {
    f_.Write("a/x.bin", "same");
    f_.Write("b/x.bin", "same");
    f_.Write("sub/keep.txt", "k");
    f_.Search();
    const ScriptValue rows = RowsIn(f_.Rows(), R("a/"));
    for (const std::string& target : {R("sub"), f_.Root(), f_.temp.Path().string(), std::string("relative"),
                                      (f_.temp.Path() / "missing").string()}) {
        EXPECT_EQ(MoveFiles(worker_, f_.engine, f_.history, f_.bridge, rows, ScriptValue::Text(target)),
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
    EXPECT_EQ(report.At(7), ScriptValue::List({ScriptValue::List({ScriptValue::Text("ENOSPC"), ScriptValue::Int(1)})}));
    EXPECT_EQ(ReadFile(R("a/big.bin")), big);
    EXPECT_EQ(ReadFile(small.Where() / "a" / "tiny.bin"), "tiny");
    EXPECT_FALSE(fs::exists(R("a/tiny.bin")));
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(small.Where() / "a")) left.push_back(entry.path().filename());
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
    ASSERT_EQ(LinkFiles(worker_, f_.engine, f_.history, f_.bridge, RowsIn(f_.Rows(), R("a/"))), ScriptValue::Int(0));
    const ScriptValue report = Finish();
    EXPECT_EQ(Head(report), (std::vector<int32_t>{1, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(report.At(7), ScriptValue::List({ScriptValue::List({ScriptValue::Text("EXDEV"), ScriptValue::Int(1)})}));
    EXPECT_EQ(ReadFile(R("a/x.bin")), "same bytes");
}

struct CommandResult {
    int code;
    std::string out;
};

CommandResult RunDedupe(std::vector<std::string> args) {
    args.insert(args.begin(), "dedupe");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    std::ostringstream out;
    std::ostringstream err;
    auto* old_out = std::cout.rdbuf(out.rdbuf());
    auto* old_err = std::cerr.rdbuf(err.rdbuf());
    const int code = RunDedupeCommand(static_cast<int>(argv.size()), argv.data());
    std::cout.rdbuf(old_out);
    std::cerr.rdbuf(old_err);
    return {code, out.str() + err.str()};
}

TEST_F(ActionCommandsTest, DedupeDryRunChangesNothingAndSaysWhatARunThenDoes) {
    f_.Write("one/x.txt", "same");
    f_.Write("two/x.txt", "same");
    f_.Write("two/y.txt", "other");
    f_.Write("three/y.txt", "other");
    f_.Write("three/p.txt", "guarded");
    f_.Write("one/p.txt", "guarded");
    const std::vector<std::string> args = {"--action", "hardlink", "--keep", "folder-order", "--protect",
                                           R("one"),   R("two"),   R("one"),  R("three")};
    std::vector<std::string> dry_args = args;
    dry_args.insert(dry_args.begin(), "--dry-run");
    const CommandResult dry = RunDedupe(dry_args);
    EXPECT_EQ(dry.code, 0) << dry.out;
    EXPECT_NE(dry.out.find("would hardlink " + R("three/y.txt") + " (kept " + R("two/y.txt") + ")"),
              std::string::npos)
        << dry.out;
    EXPECT_NE(dry.out.find("skipped (protected) " + R("one/x.txt")), std::string::npos) << dry.out;
    struct stat a {}, b {};
    stat(R("two/y.txt").c_str(), &a);
    stat(R("three/y.txt").c_str(), &b);
    EXPECT_NE(a.st_ino, b.st_ino);

    const CommandResult run = RunDedupe(args);
    EXPECT_EQ(run.code, 0) << run.out;
    EXPECT_NE(run.out.find("hardlinked " + R("three/y.txt")), std::string::npos) << run.out;
    stat(R("three/y.txt").c_str(), &b);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(ReadFile(R("one/x.txt")), "same");

    EXPECT_EQ(RunDedupe({"--action", "erase", "--keep", "first", R()}).code, 2);
    EXPECT_EQ(RunDedupe({"--action", "move:" + R("one"), "--keep", "first", R()}).code, 2);
    EXPECT_EQ(RunDedupe({"--keep", "first", R()}).code, 2);
}

}  // namespace
}  // namespace merravine
