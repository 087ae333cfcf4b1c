// A process killed (SIGKILL) while it stores a scan or purges files leaves a file
// that opens at the next start and holds each scan whole or not at all, and each
// purge done for every scan or for none.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "history/history_db.h"
#include "history/scan_store.h"
#include "history_test_util.h"
#include "support/temp_dir.h"

namespace merravine::history {
namespace {

using testing::MakeRow;
using testing::RawQuery;

std::vector<ScanRow> ManyRows(int count) {
    std::vector<ScanRow> rows;
    rows.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        rows.push_back(MakeRow("/data/folder " + std::to_string(i / 100) + "/",
                               "file " + std::to_string(i) + ".", "dat", 1000 + i / 2,
                               std::string(32, static_cast<char>('a' + i % 16))));
    }
    return rows;
}

/// Runs `work` in a child that writes one byte to the pipe after each step; kills it
/// with SIGKILL once `steps_before_kill` bytes have arrived.
void KillDuring(int steps_before_kill, const std::function<void(int)>& work) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        work(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    char byte = 0;
    for (int i = 0; i < steps_before_kill; ++i) ASSERT_EQ(read(fds[0], &byte, 1), 1);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(fds[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

TEST(HistoryCrash, AScanKilledWhileBeingStoredIsWholeOrAbsent) {
    merravine::testing::TempDir temp;
    const std::string folder = temp.Path().string();
    constexpr int kRows = 20000;
    KillDuring(2, [&](int signal_fd) {
        HistoryDb db;
        OpenHistoryDb(db, folder);
        const auto rows = ManyRows(kRows);
        for (;;) {
            if (StoreScan(db, {"/data"}, rows, 1000) == 0) _exit(1);
            if (write(signal_fd, "x", 1) != 1) _exit(1);
        }
    });

    HistoryDb db;
    OpenHistoryDb(db, folder);
    std::vector<ScanEntry> scans;
    ASSERT_TRUE(ListScans(db, scans).IsOk());
    ASSERT_GE(scans.size(), 2u);
    for (const auto& scan : scans) {
        size_t count = 0;
        const Status read = ReadScanRows(db, scan.id, [&](const ScanRow&) {
            ++count;
            return 0;
        });
        ASSERT_TRUE(read.IsOk()) << read.Message();
        EXPECT_EQ(count, static_cast<size_t>(kRows)) << "scan " << scan.id;
    }
    EXPECT_EQ(testing::FileTables(db.file_path).size(), scans.size());
    EXPECT_EQ(RawQuery(db.file_path, "pragma integrity_check"), std::vector<std::string>{"ok"});
    // The file takes new scans after the crash.
    EXPECT_GT(StoreScan(db, {"/data"}, ManyRows(10), 1000), 0);
}

TEST(HistoryCrash, AFileKilledWhilePurgedIsGoneFromEveryScanOrFromNone) {
    merravine::testing::TempDir temp;
    const std::string folder = temp.Path().string();
    constexpr int kRows = 3000;
    constexpr int kScans = 5;
    const auto rows = ManyRows(kRows);
    {
        HistoryDb db;
        OpenHistoryDb(db, folder);
        for (int i = 0; i < kScans; ++i) ASSERT_GT(StoreScan(db, {"/data"}, rows, 20), 0);
    }
    KillDuring(200, [&](int signal_fd) {
        HistoryDb db;
        OpenHistoryDb(db, folder);
        for (const auto& row : rows) {
            if (!PurgeFileFromHistory(db, row.path, row.namenosuffix, row.suffix).IsOk()) _exit(1);
            if (write(signal_fd, "x", 1) != 1) _exit(1);
        }
    });

    HistoryDb db;
    OpenHistoryDb(db, folder);
    std::vector<ScanEntry> scans;
    ASSERT_TRUE(ListScans(db, scans).IsOk());
    ASSERT_EQ(scans.size(), static_cast<size_t>(kScans));
    std::map<std::string, int> scans_holding;
    for (const auto& scan : scans) {
        ASSERT_TRUE(ReadScanRows(db, scan.id, [&](const ScanRow& row) {
                        ++scans_holding[row.path + row.namenosuffix];
                        return 0;
                    }).IsOk());
    }
    size_t purged = 0;
    for (const auto& row : rows) {
        const auto found = scans_holding.find(row.path + row.namenosuffix);
        if (found == scans_holding.end()) {
            ++purged;
        } else {
            EXPECT_EQ(found->second, kScans) << row.namenosuffix;
        }
    }
    // The purges run in row order: the first files are gone, the rest untouched.
    EXPECT_GE(purged, 200u);
    EXPECT_LT(purged, static_cast<size_t>(kRows));
    for (size_t i = 0; i < purged; ++i) {
        EXPECT_EQ(scans_holding.count(rows[i].path + rows[i].namenosuffix), 0u) << i;
    }
    EXPECT_EQ(RawQuery(db.file_path, "pragma integrity_check"), std::vector<std::string>{"ok"});
}

}  // namespace
}  // namespace merravine::history
