// Delete and trash runs against real files found by a real search, with two stored
// scans: the counts, the disk, the result groups and every stored scan must agree.
#include <gtest/gtest.h>

#include <filesystem>

#include "deletion/action_commands.h"
#include "history/search_fixture.h"

namespace merravine {
namespace {

namespace fs = std::filesystem;
using testing::RowsIn;

class DeleteRunTest : public ::testing::TestWithParam<ActionKind> {
  protected:
    void SetUp() override {
        data_home_ = (fixture_.temp.Path() / "xdg").string();
        setenv("XDG_DATA_HOME", data_home_.c_str(), 1);
        StoreEveryFinishedScan(fixture_.engine, fixture_.history);
    }
    void TearDown() override { unsetenv("XDG_DATA_HOME"); }

    ScriptValue Start(const ScriptValue& rows) {
        return GetParam() == ActionKind::Trash
                   ? TrashFiles(worker_, fixture_.engine, fixture_.history, fixture_.bridge, rows)
                   : DeleteFiles(worker_, fixture_.engine, fixture_.history, fixture_.bridge, rows);
    }

    /// Waits for the report of run number `run` and for the thread to end; the counts.
    ScriptValue Finish(size_t run = 1) {
        const auto calls = fixture_.bridge.WaitForCalls(run);
        worker_.Join();
        EXPECT_EQ(calls[run - 1].first, "DelFileResultToUI");
        return calls[run - 1].second;
    }

    /// [requested, done, failed, changed, last copy kept, protected, refused].
    static std::vector<int32_t> Counts(int32_t requested, int32_t deleted, int32_t failed,
                                       int32_t changed = 0, int32_t last = 0, int32_t kept = 0,
                                       int32_t refused = 0) {
        return {requested, deleted, failed, changed, last, kept, refused};
    }
    static std::vector<int32_t> Head(const ScriptValue& report) {
        std::vector<int32_t> head;
        for (size_t i = 0; i < 7; ++i) head.push_back(report.At(i).IntOr(-1));
        return head;
    }

    /// Every stored scan holds exactly the files the result groups hold.
    void ExpectScansMatchGroups() {
        std::vector<history::ScanEntry> scans;
        ASSERT_TRUE(history::ListScans(fixture_.history, scans).IsOk());
        ASSERT_FALSE(scans.empty());
        for (const auto& scan : scans) {
            EXPECT_EQ(fixture_.FilesInScan(scan.id), fixture_.FilesInGroups())
                << "scan " << scan.id;
        }
    }

    testing::SearchFixture fixture_;
    std::string data_home_;
    ActionWorker worker_;  // destroyed first: its thread uses the fixture
};

TEST_P(DeleteRunTest, CountsDiskResultsAndStoredScansAgree) {
    auto& f = fixture_;
    f.engine.settings.protectDirs = {f.Root() + "/protect"};
    const std::string del = f.Root() + "/del/";
    const std::vector<std::pair<std::string, size_t>> sets = {
        {"a.txt", 100}, {"b.txt", 200}, {"gone.txt", 300}, {"replaced.txt", 400}};
    for (const auto& [name, size] : sets) {
        f.Write("del/" + name, std::string(size, name[0]));
        f.Write("keep/" + name, std::string(size, name[0]));
    }
    f.Write("protect/e.txt", std::string(500, 'e'));
    f.Write("keep/e.txt", std::string(500, 'e'));
    f.Search();
    f.Search();  // two stored scans
    const ScriptValue rows = f.Rows();
    ScriptValue ticked = RowsIn(rows, del);
    const ScriptValue protected_rows = RowsIn(rows, f.Root() + "/protect/");
    for (const auto& row : protected_rows.Elements()) {
        EXPECT_EQ(row.At(11).IntOr(0) & 1, 1);  // the file is marked protected
        ticked.Append(row);
    }
    ASSERT_EQ(ticked.Count(), 5u);

    fs::remove(del + "gone.txt");                                    // removed by someone else
    f.temp.Write("files/del/replaced.txt", std::string(1000, 'z'));  // another file now

    EXPECT_EQ(Start(ticked), ScriptValue::Int(0));
    // The protected file is refused; the replaced one has changed since the scan.
    EXPECT_EQ(Head(Finish()), Counts(5, 3, 0, 1, 0, 1));
    EXPECT_FALSE(DeletionRunning(worker_));

    for (const char* name : {"a.txt", "b.txt", "gone.txt"}) EXPECT_FALSE(fs::exists(del + name));
    EXPECT_TRUE(fs::exists(f.Root() + "/protect/e.txt"));
    EXPECT_EQ(f.temp.Read(del + "replaced.txt"), std::string(1000, 'z'));
    for (const char* name : {"a.txt", "b.txt", "gone.txt", "replaced.txt", "e.txt"}) {
        EXPECT_TRUE(fs::exists(f.Root() + "/keep/" + name)) << name;
    }
    EXPECT_EQ(f.FilesInGroups(),
              (std::vector<std::string>{
                  del + "replaced.txt", f.Root() + "/keep/a.txt", f.Root() + "/keep/b.txt",
                  f.Root() + "/keep/e.txt", f.Root() + "/keep/gone.txt",
                  f.Root() + "/keep/replaced.txt", f.Root() + "/protect/e.txt"}));
    ExpectScansMatchGroups();

    if (GetParam() == ActionKind::Trash) {
        // What was there is in the trash, restorable; the file already gone is not.
        const fs::path trash = fs::path(data_home_) / "Trash";
        EXPECT_EQ(f.temp.Read(trash / "files/a.txt"), std::string(100, 'a'));
        EXPECT_FALSE(fs::exists(trash / "info/e.txt.trashinfo"));
        EXPECT_TRUE(fs::exists(trash / "info/a.txt.trashinfo"));
        EXPECT_FALSE(fs::exists(trash / "files/gone.txt"));
        EXPECT_FALSE(fs::exists(trash / "files/replaced.txt"));
    } else {
        EXPECT_FALSE(fs::exists(fs::path(data_home_) / "Trash"));
    }
}

TEST_P(DeleteRunTest, AStopRequestEndsTheRunBeforeTheNextFile) {
    auto& f = fixture_;
    for (int i = 0; i < 50; ++i) {
        const std::string content(static_cast<size_t>(40 + i), static_cast<char>('A' + i % 26));
        f.Write("one/f" + std::to_string(i) + ".bin", content);
        f.Write("two/f" + std::to_string(i) + ".bin", content);
    }
    f.Search();
    ASSERT_EQ(f.Rows().Count(), 100u);
    const ScriptValue rows = RowsIn(f.Rows(), f.Root() + "/one/");  // a copy of each stays
    worker_.SetAfterEachFile([this](size_t done) {
        if (done == 10) {
            EXPECT_EQ(StopDelFile(worker_), ScriptValue::Int(0));
        }
    });
    EXPECT_EQ(Start(rows), ScriptValue::Int(0));
    EXPECT_EQ(Head(Finish()), Counts(50, 10, 0));
    size_t left = 0;
    for (const auto& row : rows.Elements()) {
        left += fs::exists(row.At(1).StringOrEmpty() + row.At(2).StringOrEmpty() +
                           row.At(3).StringOrEmpty());
    }
    EXPECT_EQ(left, 40u);
    EXPECT_EQ(f.FilesInGroups().size(), 90u);
    ExpectScansMatchGroups();

    // Idle again: a stop changes nothing, and a new run starts.
    EXPECT_EQ(StopDelFile(worker_), ScriptValue::Int(0));
    worker_.SetAfterEachFile(nullptr);
    EXPECT_EQ(Start(ScriptValue::List({})), ScriptValue::Int(0));
    EXPECT_EQ(Head(Finish(2)), Counts(0, 0, 0));
}

TEST_P(DeleteRunTest, OneRunAtATimeAndNoneWhileASearchRuns) {
    auto& f = fixture_;
    f.Write("x/a.txt", "same");
    f.Write("y/a.txt", "same");
    f.Search();
    const ScriptValue rows = f.Rows();
    // The page answers the report by asking for another run at once: the run is not
    // over until the report has been made, so that request is refused.
    ScriptValue answer_inside;
    bool running_inside = false;
    f.bridge.on_call = [&](const std::string&, const ScriptValue&) {
        answer_inside = Start(rows);
        running_inside = DeletionRunning(worker_);
    };
    EXPECT_EQ(Start(RowsIn(rows, f.Root() + "/x/")), ScriptValue::Int(0));
    EXPECT_EQ(Head(Finish()), Counts(1, 1, 0));
    EXPECT_EQ(answer_inside, ScriptValue::Int(1));
    EXPECT_TRUE(running_inside);
    EXPECT_TRUE(fs::exists(f.Root() + "/y/a.txt"));
    f.bridge.on_call = nullptr;

    f.engine.state = W_SEARCH;
    EXPECT_EQ(Start(rows), ScriptValue::Int(1));
    f.engine.state = W_READY;
    EXPECT_TRUE(fs::exists(f.Root() + "/y/a.txt"));
}

TEST_P(DeleteRunTest, ResultsAndHistoryCanBeReadWhileARunChangesThem) {
    auto& f = fixture_;
    f.engine.settings.historymax = 3;
    StoreEveryFinishedScan(f.engine, f.history);
    for (int i = 0; i < 60; ++i) {
        const std::string content(static_cast<size_t>(40 + i), 'c');
        f.Write("one/f" + std::to_string(i) + ".bin", content);
        f.Write("two/f" + std::to_string(i) + ".bin", content);
    }
    f.Search();
    f.Search();
    const ScriptValue rows = RowsIn(f.Rows(), f.Root() + "/one/");
    ASSERT_EQ(Start(rows), ScriptValue::Int(0));
    // The page keeps asking for rows and scans while the worker removes files.
    size_t reads = 0;
    while (f.bridge.CallCount() == 0 || reads == 0) {
        const size_t count = f.Rows().Count();
        EXPECT_LE(count, 120u);  // sets left with one file leave the rows
        EXPECT_EQ(GetScanReord(f.history).Count(), 2u);
        ++reads;
    }
    EXPECT_EQ(Head(Finish()), Counts(60, 60, 0));
    EXPECT_EQ(f.Rows().Count(), 0u);  // each set is left with one file, which is no set
    ExpectScansMatchGroups();
}

TEST_P(DeleteRunTest, RowsThatNameNoAbsolutePathTouchNothing) {
    auto& f = fixture_;
    f.Write("a.txt", "content");
    ScriptValue rows = ScriptValue::List(
        {ScriptValue::List({ScriptValue::Int(0), ScriptValue::Text(""),
                            ScriptValue::Text("relative-target."), ScriptValue::Text("txt"),
                            ScriptValue::Text("7"), ScriptValue::Text("7")}),
         ScriptValue::Text("not a row")});
    EXPECT_EQ(Start(rows), ScriptValue::Int(0));
    EXPECT_EQ(Head(Finish()), Counts(2, 0, 0, 0, 0, 0, 2));
    EXPECT_TRUE(fs::exists(f.Root() + "/a.txt"));
}

INSTANTIATE_TEST_SUITE_P(Modes, DeleteRunTest,
                         ::testing::Values(ActionKind::Delete, ActionKind::Trash),
                         [](const auto& param_info) {
                             return param_info.param == ActionKind::Trash ? std::string("Trash")
                                                                          : std::string("Unlink");
                         });

}  // namespace
}  // namespace merravine
