// The history commands over a real history file and real searches: listing,
// deleting, and loading a stored scan back into the results after a restart.
#include "history/history_commands.h"

#include <gtest/gtest.h>

#include "history/scan_store.h"
#include "search_fixture.h"
#include "util/text.h"

namespace merravine {
namespace {

using testing::MakeRow;

class HistoryCommandsTest : public ::testing::Test {
  protected:
    /// The rows of the n-th page call, which must be a delivery.
    ScriptValue Delivered(size_t n) {
        const auto calls = f_.bridge.WaitForCalls(n);
        EXPECT_EQ(calls[n - 1].first, "DuplicateFileToUI");
        return calls[n - 1].second;
    }

    testing::SearchFixture f_;
};

TEST_F(HistoryCommandsTest, AStoredSearchLoadsBackAfterARestartWithTheSameRows) {
    f_.Write("a/one.txt", "same words");
    f_.Write("b/one.txt", "same words");
    f_.Write("b/ONE.TXT", "same words");
    f_.Write("c/empty", "");
    f_.Write("d/empty.", "");
    f_.Write("big/x.bin", std::string(5000, 'q'));
    f_.Write("big/y.bin", std::string(5000, 'q'));
    f_.Write("big/z.bin", std::string(4999, 'q') + "r");  // same size, no twin
    f_.Write("it's; drop table x/q'.jpg", "quoted folder");
    f_.Write("it's; drop table x/r'.jpg", "quoted folder");
    f_.Write("alone.txt", "unique");
    StoreEveryFinishedScan(f_.engine, f_.history);
    f_.Search();
    const ScriptValue searched = f_.Rows();
    ASSERT_EQ(searched.Count(), 9u);
    EXPECT_EQ(GetScanReord(f_.history).Count(), 1u);

    // The next start: a new connection to the same file, and empty results.
    history::OpenHistoryDb(f_.history, (f_.temp.Path() / "data").string());
    {
        const auto lock = f_.engine.LockGroups();
        ClearResults(f_.engine);
    }
    const ScriptValue scans = GetScanReord(f_.history);
    ASSERT_EQ(scans.Count(), 1u);
    const int32_t id = scans.At(0).At(0).IntOr(0);
    EXPECT_EQ(LoadRecord(f_.engine, f_.history, f_.bridge, ScriptValue::Int(id), false),
              ScriptValue::Int(9));
    // A stored scan keeps no file identity: the rows match but for device, inode and links.
    const auto described = [](const ScriptValue& rows) {
        ScriptValue::Array out;
        for (const ScriptValue& row : rows.Elements()) {
            const auto& values = row.Elements();
            out.push_back(
                ScriptValue::List(ScriptValue::Array(values.begin(), values.begin() + 12)));
        }
        return out;
    };
    const ScriptValue loaded = Delivered(1);
    EXPECT_EQ(described(loaded), described(searched));
    for (const ScriptValue& row : loaded.Elements()) EXPECT_EQ(row.At(13), ScriptValue::Text("0"));
    EXPECT_EQ(f_.engine.loadedRecordId.load(), id);
    EXPECT_EQ(CheckGroupInvariants(f_.engine.groups, true), "");
}

TEST_F(HistoryCommandsTest, ListingAndDeletingScans) {
    EXPECT_TRUE(GetScanReord(f_.history).IsUndefined());
    const auto row = MakeRow("/p/", "a.", "b", 1, "x");
    for (int i = 0; i < 5; ++i) history::StoreScan(f_.history, {"/p"}, {row}, 20);
    ASSERT_TRUE(history::DeleteScan(f_.history, 1).IsOk());
    ASSERT_TRUE(history::DeleteScan(f_.history, 2).IsOk());
    ASSERT_TRUE(history::DeleteScan(f_.history, 4).IsOk());

    const ScriptValue scans = GetScanReord(f_.history);
    ASSERT_EQ(scans.Count(), 2u);
    EXPECT_EQ(scans.At(0).At(0), ScriptValue::Int(3));
    EXPECT_EQ(scans.At(1).At(0), ScriptValue::Int(5));
    EXPECT_EQ(scans.At(1).At(1).StringOrEmpty().size(), 19u);

    EXPECT_EQ(DelOneRecord(f_.history, ScriptValue::Int(3)), ScriptValue::Int(1));
    EXPECT_EQ(DelOneRecord(f_.history, ScriptValue::Int(3)), ScriptValue::Int(0));
    EXPECT_EQ(DelOneRecord(f_.history, ScriptValue::Text("5")), ScriptValue::Int(0));  // reads as 0
    EXPECT_EQ(GetScanReord(f_.history).Count(), 1u);

    EXPECT_EQ(DelAllRecord(f_.history, ScriptValue::List({ScriptValue::Int(5)})),
              ScriptValue::Int(1));
    EXPECT_TRUE(GetScanReord(f_.history).IsUndefined());
    EXPECT_EQ(testing::FileTables(f_.history.file_path), std::vector<std::string>{});
    EXPECT_EQ(DelAllRecord(f_.history, ScriptValue::List({})), ScriptValue::Int(1));
}

TEST_F(HistoryCommandsTest, LoadingBuildsGroupsFromTheStoredRowsAlone) {
    // Stored rows of files that no longer exist: two of 100 bytes with one key, two of
    // 200 with another, and a scan of one row.
    const int32_t four = history::StoreScan(
        f_.history, {"/gone"},
        {MakeRow("/gone/", "a.", "txt", 100, "k1"), MakeRow("/gone/", "b.", "txt", 100, "k1"),
         MakeRow("/gone/", "c.", "txt", 200, "k2"), MakeRow("/gone/", "d.", "txt", 200, "k2")},
        20);
    const int32_t one =
        history::StoreScan(f_.history, {"/gone"}, {MakeRow("/gone/", "e.", "txt", 300, "k3")}, 20);

    EXPECT_EQ(LoadRecord(f_.engine, f_.history, f_.bridge, ScriptValue::Int(four), false),
              ScriptValue::Int(4));
    const ScriptValue rows = Delivered(1);
    ASSERT_EQ(rows.Count(), 4u);
    EXPECT_EQ(rows.At(0).At(9), rows.At(1).At(9));
    EXPECT_EQ(rows.At(2).At(9), rows.At(3).At(9));
    EXPECT_NE(rows.At(1).At(9), rows.At(2).At(9));
    EXPECT_EQ(rows.At(3).At(5), ScriptValue::Text("200"));
    EXPECT_EQ(rows.At(3).At(6), ScriptValue::Text("1700000000"));

    EXPECT_EQ(LoadRecord(f_.engine, f_.history, f_.bridge, ScriptValue::Int(one), false),
              ScriptValue::Int(1));
    EXPECT_TRUE(Delivered(2).IsUndefined());  // one file is no set
}

TEST_F(HistoryCommandsTest, BadIdsBusyStatesAndMissingTables) {
    history::StoreScan(f_.history, {"/p"},
                       {MakeRow("/p/", "a.", "b", 9, "k"), MakeRow("/p/", "c.", "b", 9, "k")}, 20);
    ASSERT_EQ(LoadRecord(f_.engine, f_.history, f_.bridge, ScriptValue::Int(1), false),
              ScriptValue::Int(2));
    Delivered(1);
    const auto loaded = f_.FilesInGroups();

    // A missing or zero id, or a busy program, keeps the current results.
    EXPECT_EQ(LoadRecord(f_.engine, f_.history, f_.bridge, ScriptValue::Int(0), false),
              ScriptValue::Int(-1));
    EXPECT_EQ(LoadRecord(f_.engine, f_.history, f_.bridge, ScriptValue::Text("1"), false),
              ScriptValue::Int(-1));
    EXPECT_EQ(LoadRecord(f_.engine, f_.history, f_.bridge, ScriptValue(), false),
              ScriptValue::Int(-1));
    EXPECT_EQ(LoadRecord(f_.engine, f_.history, f_.bridge, ScriptValue::Int(1), true),
              ScriptValue::Int(kLoadRecordBusy));
    f_.engine.state = W_PAUSE;
    EXPECT_EQ(LoadRecord(f_.engine, f_.history, f_.bridge, ScriptValue::Int(1), false),
              ScriptValue::Int(kLoadRecordBusy));
    f_.engine.state = W_READY;
    EXPECT_EQ(f_.FilesInGroups(), loaded);

    // A scan without its table empties the results and delivers nothing.
    EXPECT_EQ(LoadRecord(f_.engine, f_.history, f_.bridge, ScriptValue::Int(77), false),
              ScriptValue::Int(0));
    EXPECT_TRUE(f_.FilesInGroups().empty());
    EXPECT_EQ(f_.engine.loadedRecordId.load(), 77);
    f_.engine.JoinDeliveries();
    EXPECT_EQ(f_.bridge.WaitForCalls(1).size(), 1u);
}

TEST_F(HistoryCommandsTest, EverySearchIsStoredAndOnlyTheNewestAreKept) {
    f_.Write("a.txt", "twin");
    f_.Write("b.txt", "twin");
    f_.engine.settings.historymax = 2;
    StoreEveryFinishedScan(f_.engine, f_.history);
    for (int i = 0; i < 3; ++i) f_.Search();
    const ScriptValue scans = GetScanReord(f_.history);
    ASSERT_EQ(scans.Count(), 2u);
    EXPECT_EQ(scans.At(0).At(0), ScriptValue::Int(2));
    EXPECT_EQ(scans.At(1).At(0), ScriptValue::Int(3));
    EXPECT_EQ(f_.FilesInScan(3), f_.FilesInGroups());
    EXPECT_EQ(testing::RawQuery(f_.history.file_path, "select searchPath from tbl_searchrecode"),
              (std::vector<std::string>{ToBase64(f_.Root()), ToBase64(f_.Root())}));
}

}  // namespace
}  // namespace merravine
