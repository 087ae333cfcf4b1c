// The history file on disk: creating it, listing, deleting, reading back and purging
// scans, each checked against what a separate connection finds in the file.
#include "history/history_db.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "history/scan_store.h"
#include "history_test_util.h"
#include "support/temp_dir.h"
#include "util/text.h"

namespace merravine::history {
namespace {

using testing::FileTables;
using testing::MakeRow;
using testing::RawQuery;
using testing::ReadAll;

class HistoryDbTest : public ::testing::Test {
  protected:
    void SetUp() override { OpenHistoryDb(db_, Folder()); }
    std::string Folder() const { return temp_.Path().string(); }
    std::string File() const { return Folder() + "/duplicate.db"; }
    /// Closes and opens the file again, as the next start of the program does.
    void Reopen() { OpenHistoryDb(db_, Folder()); }

    merravine::testing::TempDir temp_;
    HistoryDb db_;
};

TEST_F(HistoryDbTest, FirstStartCreatesAnEmptyScanTableAndLaterStartsKeepIt) {
    std::vector<ScanEntry> scans;
    EXPECT_TRUE(ListScans(db_, scans).IsOk());
    EXPECT_TRUE(scans.empty());
    const int32_t id = StoreScan(db_, {"/data"}, {MakeRow("/data/", "a.", "txt", 5, "hello")}, 20);
    ASSERT_EQ(id, 1);
    Reopen();
    ASSERT_TRUE(ListScans(db_, scans).IsOk());
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans[0].id, 1);
    EXPECT_EQ(scans[0].searcTime.size(), 19u) << scans[0].searcTime;  // YYYY-MM-DD HH:MM:SS
    EXPECT_EQ(ReadAll(db_, 1).size(), 1u);
}

TEST_F(HistoryDbTest, TheScanTableIsMadeByTheExactStatement) {
    // SQLite keeps a table's create text from "create table" on, without "if not exists".
    const std::string expected =
        "CREATE TABLE tbl_searchrecode (\t\t\tid integer primary key autoincrement,\t\t\t\t\t\t\t"
        "searcTime TIMESTAMP default (datetime('now', 'localtime')),\t\tsearchPath TEXT)";
    EXPECT_EQ(RawQuery(File(), "select sql from sqlite_master where name='tbl_searchrecode'"),
              std::vector<std::string>{expected});
}

TEST_F(HistoryDbTest, StoredRowsComeBackExactlyAfterARestart) {
    std::string zero_key("ab\0cd", 5);
    const std::vector<ScanRow> rows = {
        MakeRow("/home/u/Pictures/", "photo.", "JPG", 4096, "0123456789abcdef0123456789abcdef", 16),
        MakeRow("/home/u/Pictures/", "photo copy.", "JPG", 4096, "0123456789abcdef0123456789abcdef",
                16),
        // A short file's key is its own content: zero bytes and bytes that are no UTF-8.
        MakeRow("/tmp/\xff\xfe odd/", "n\xe9.", "bin", 5, zero_key + "\x80", 32),
        MakeRow("/tmp/\xff\xfe odd/", "copy.", "bin", 5, zero_key + "\x80", 32),
        MakeRow("/srv/日本語/", "no dot", "", 0, "", 32),
        MakeRow("/srv/", "large.", "iso", 5'000'000'000LL, std::string(32, 'f'), 1),
    };
    const int32_t id = StoreScan(db_, {"/home/u", "/tmp"}, rows, 20);
    ASSERT_GT(id, 0);
    Reopen();
    bool ok = false;
    EXPECT_EQ(ReadAll(db_, id, &ok), rows);
    EXPECT_TRUE(ok);
    EXPECT_EQ(
        RawQuery(File(), "select filesize from " + RecordTableName(id) + " where suffix='iso'"),
        std::vector<std::string>{"5000000000"});
}

TEST_F(HistoryDbTest, QuotesAndStatementTextInNamesAreStoredAndPurgedExactly) {
    const std::string folder = "/data/it's'; drop table tbl_searchrecode; --/";
    const std::string suffix = "x' or '1'='1";
    const std::vector<ScanRow> rows = {
        MakeRow(folder, "a.", suffix, 10, "k1"), MakeRow(folder, "b.", suffix, 10, "k1"),
        MakeRow(folder, "a.", "x", 10, "k1"),  // differs only in the suffix
    };
    const int32_t first = StoreScan(db_, {folder}, rows, 20);
    const int32_t second = StoreScan(db_, {folder}, rows, 20);
    ASSERT_GT(first, 0);
    ASSERT_GT(second, first);

    EXPECT_TRUE(PurgeFileFromHistory(db_, folder, "a.", suffix).IsOk());
    for (const int32_t id : {first, second}) {
        EXPECT_EQ(ReadAll(db_, id), (std::vector<ScanRow>{rows[1], rows[2]})) << id;
    }
    std::vector<ScanEntry> scans;
    ASSERT_TRUE(ListScans(db_, scans).IsOk());
    EXPECT_EQ(scans.size(), 2u);
}

TEST_F(HistoryDbTest, PurgeRemovesOnlyTheFilesOwnRowsFromEveryScan) {
    const std::vector<ScanRow> rows = {MakeRow("/p/", "img.", "jpg", 7, "same"),
                                       MakeRow("/p/", "img.", "png", 7, "same"),
                                       MakeRow("/q/", "img.", "jpg", 7, "same")};
    const int32_t first = StoreScan(db_, {"/p"}, rows, 20);
    const int32_t second = StoreScan(db_, {"/p"}, {rows[0], rows[2]}, 20);

    EXPECT_TRUE(PurgeFileFromHistory(db_, "/p/", "img.", "jpg").IsOk());
    EXPECT_EQ(ReadAll(db_, first), (std::vector<ScanRow>{rows[1], rows[2]}));
    EXPECT_EQ(ReadAll(db_, second), (std::vector<ScanRow>{rows[2]}));
    // A file no scan holds, and a second purge of the same file, change nothing.
    EXPECT_TRUE(PurgeFileFromHistory(db_, "/p/", "img.", "jpg").IsOk());
    EXPECT_TRUE(PurgeFileFromHistory(db_, "/none/", "x.", "y").IsOk());
    EXPECT_EQ(ReadAll(db_, first).size(), 2u);
}

TEST_F(HistoryDbTest, PurgeWithNoScansSucceeds) {
    EXPECT_TRUE(PurgeFileFromHistory(db_, "/p/", "a.", "b").IsOk());
}

TEST_F(HistoryDbTest, DeleteScanRemovesRowAndTableOrChangesNothing) {
    const auto row = MakeRow("/p/", "a.", "b", 1, "x");
    const int32_t first = StoreScan(db_, {"/p"}, {row}, 20);
    const int32_t second = StoreScan(db_, {"/p"}, {row}, 20);
    EXPECT_TRUE(DeleteScan(db_, first).IsOk());
    EXPECT_EQ(FileTables(File()), std::vector<std::string>{RecordTableName(second)});
    // No row and no table any more: the drop fails.
    EXPECT_THAT(DeleteScan(db_, first).Message(), ::testing::HasSubstr("file table"));

    // A row whose table is gone (left by hand): the failure leaves the row in place.
    sqlite3_exec(db_.connection.get(), ("drop table " + RecordTableName(second)).c_str(), nullptr,
                 nullptr, nullptr);
    EXPECT_THAT(DeleteScan(db_, second).Message(), ::testing::HasSubstr("file table"));
    std::vector<ScanEntry> scans;
    ASSERT_TRUE(ListScans(db_, scans).IsOk());
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans[0].id, second);
    // The transaction was ended: later writes work.
    EXPECT_GT(StoreScan(db_, {"/p"}, {row}, 20), 0);
}

TEST_F(HistoryDbTest, DeleteAllScansRebuildsTheTableAndNewIdsNeverReuseOldRows) {
    const auto row = MakeRow("/p/", "a.", "b", 1, "x");
    ASSERT_EQ(StoreScan(db_, {"/p"}, {row}, 20), 1);
    ASSERT_EQ(StoreScan(db_, {"/p"}, {row, row}, 20), 2);
    // Only scan 1 is named (and a scan that never existed): scan 2's table stays behind.
    EXPECT_TRUE(DeleteAllScans(db_, {1, 7}).IsOk());
    std::vector<ScanEntry> scans;
    EXPECT_TRUE(ListScans(db_, scans).IsOk());
    EXPECT_TRUE(scans.empty());
    EXPECT_EQ(FileTables(File()), std::vector<std::string>{"tbl_record2"});

    // Ids start afresh; a new scan 2 holds only its own rows.
    const auto other = MakeRow("/new/", "n.", "c", 2, "y");
    EXPECT_EQ(StoreScan(db_, {"/new"}, {other}, 20), 1);
    EXPECT_EQ(StoreScan(db_, {"/new"}, {other}, 20), 2);
    EXPECT_EQ(ReadAll(db_, 2), std::vector<ScanRow>{other});

    EXPECT_TRUE(DeleteAllScans(db_, {}).IsOk());
    EXPECT_TRUE(ListScans(db_, scans).IsOk());
    EXPECT_TRUE(scans.empty());
}

TEST_F(HistoryDbTest, OnlyTheNewestScansAreKept) {
    const auto row = MakeRow("/p/", "a.", "b", 1, "x");
    for (int i = 0; i < 5; ++i) ASSERT_EQ(StoreScan(db_, {"/p"}, {row}, 3), i + 1);
    std::vector<ScanEntry> scans;
    ASSERT_TRUE(ListScans(db_, scans).IsOk());
    std::vector<int32_t> ids;
    ids.reserve(scans.size());
    for (const auto& scan : scans) ids.push_back(scan.id);
    EXPECT_EQ(ids, (std::vector<int32_t>{3, 4, 5}));
    EXPECT_EQ(FileTables(File()),
              (std::vector<std::string>{"tbl_record3", "tbl_record4", "tbl_record5"}));
    // A limit below one stores nothing.
    EXPECT_EQ(StoreScan(db_, {"/p"}, {row}, 0), 0);
    scans.clear();
    ASSERT_TRUE(ListScans(db_, scans).IsOk());
    EXPECT_EQ(scans.size(), 3u);
}

TEST_F(HistoryDbTest, ReadingAMissingOrNarrowTableFailsOrSkipsRows) {
    bool ok = true;
    EXPECT_TRUE(ReadAll(db_, 42, &ok).empty());
    EXPECT_FALSE(ok);

    // Tables written by hand: two columns are skipped, four columns read with the rest empty.
    sqlite3* raw = db_.connection.get();
    sqlite3_exec(raw,
                 "create table tbl_record50 (a, b); insert into tbl_record50 values (1, 2);"
                 "create table tbl_record51 (filesize, path, namenosuffix, suffix);"
                 "insert into tbl_record51 values ('12abc', NULL, 'YQAuAA==', 'txt');",
                 nullptr, nullptr, nullptr);
    EXPECT_TRUE(ReadAll(db_, 50, &ok).empty());
    EXPECT_TRUE(ok);
    const auto rows = ReadAll(db_, 51, &ok);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].filesize, 12);
    EXPECT_EQ(rows[0].path, "");
    EXPECT_EQ(rows[0].namenosuffix, "a.");
    EXPECT_EQ(rows[0].filekey, std::string(32, '\0'));
    EXPECT_EQ(rows[0].filetype, 0);
}

TEST(HistoryDbFailure, AFileThatCannotBeOpenedMakesEveryOperationFail) {
    merravine::testing::TempDir temp;
    temp.Write("plain", "not a folder");
    HistoryDb db;
    OpenHistoryDb(db, (temp.Path() / "plain").string());
    std::vector<ScanEntry> scans;
    EXPECT_FALSE(ListScans(db, scans).IsOk());
    EXPECT_FALSE(DeleteScan(db, 1).IsOk());
    EXPECT_FALSE(DeleteAllScans(db, {1}).IsOk());
    bool ok = true;
    testing::ReadAll(db, 1, &ok);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(PurgeFileFromHistory(db, "/a/", "b.", "c").IsOk());
    EXPECT_EQ(StoreScan(db, {"/a"}, {testing::MakeRow("/a/", "b.", "c", 1, "k")}, 20), 0);
}

TEST(HistoryDbText, LeadingIntegerReadsLikeTheStoredColumns) {
    const std::vector<std::pair<std::string, int64_t>> cases = {
        {"", 0},
        {"abc", 0},
        {"42", 42},
        {"42abc", 42},
        {"-7", -7},
        {"+9", 9},
        {"5000000000", 5000000000LL},
        {"99999999999999999999", INT64_MAX},
        {"-99999999999999999999", INT64_MIN},
        {" 12", 12}};
    for (const auto& [text, value] : cases) EXPECT_EQ(LeadingInt64(text), value) << text;
}

}  // namespace
}  // namespace merravine::history
