// A deletion killed (SIGKILL) at any moment leaves no removed file in a stored scan
// once the program has started again: the files of each batch are noted before they
// are removed, and the next start purges the noted files that are gone.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "deletion/delete_worker.h"
#include "history/history_db.h"
#include "history/history_test_util.h"
#include "history/scan_store.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

namespace fs = std::filesystem;

TEST(DeleteCrash, AKillDuringADeletionLeavesNoRemovedFileInAStoredScan) {
    testing::TempDir temp;
    const std::string folder = (temp.Path() / "files").string() + "/";
    fs::create_directories(folder);
    constexpr int kFiles = 300;
    std::vector<history::ScanRow> rows;
    std::vector<DeleteRequest> batch;
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "file " + std::to_string(i) + ".";
        std::ofstream(folder + name + "dat") << "x";
        rows.push_back(testing::MakeRow(folder, name, "dat", 1, "k"));
        batch.push_back(DeleteRequest{folder, name, "dat", 1});
    }
    const std::string data = (temp.Path() / "data").string();
    {
        history::HistoryDb db;
        history::OpenHistoryDb(db, data);
        for (int i = 0; i < 2; ++i) ASSERT_GT(history::StoreScan(db, {folder}, rows, 20), 0);
    }
    // Killed well inside a purge batch, after some files of it are removed.
    for (const int kill_after : {1, 100, 250}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(fds[0]);
            history::HistoryDb db;
            history::OpenHistoryDb(db, data);
            SearchEngine engine;
            DeleteWorker worker;
            worker.afterEachFile = [&](size_t) {
                if (write(fds[1], "x", 1) != 1) _exit(1);
            };
            RunDeleteBatch(worker, engine, db, DeleteMode::Unlink, batch);
            pause();  // the parent kills us in any case
            _exit(0);
        }
        close(fds[1]);
        char byte = 0;
        for (int i = 0; i < kill_after; ++i) ASSERT_EQ(read(fds[0], &byte, 1), 1);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(fds[0]);

        history::HistoryDb db;
        history::OpenHistoryDb(db, data);  // the start that purges what the kill left
        std::vector<history::ScanEntry> scans;
        ASSERT_EQ(history::ListScans(db, scans), 1);
        ASSERT_EQ(scans.size(), 2u);
        std::map<std::string, int> held;
        for (const auto& scan : scans) {
            history::ReadScanRows(db, scan.id, [&](const history::ScanRow& row) {
                ++held[row.namenosuffix];
                return 0;
            });
        }
        int gone = 0;
        for (const DeleteRequest& request : batch) {
            const bool exists = fs::exists(folder + request.namenosuffix + request.suffix);
            gone += exists ? 0 : 1;
            EXPECT_EQ(held[request.namenosuffix], exists ? 2 : 0)
                << request.namenosuffix << " after a kill at " << kill_after;
        }
        EXPECT_GE(gone, kill_after);
        // The files still there are left for the next round.
    }
}

}  // namespace
}  // namespace merravine
