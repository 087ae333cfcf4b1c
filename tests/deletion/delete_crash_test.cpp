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

#include "deletion/action_worker.h"
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
    // Each file has a kept twin beside it, so the action path may remove it.
    ActionBatch batch;
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "file " + std::to_string(i) + ".";
        const std::string keep = "keep " + std::to_string(i) + ".";
        std::ofstream(folder + name + "dat") << "x";
        std::ofstream(folder + keep + "dat") << "x";
        rows.push_back(testing::MakeRow(folder, name, "dat", 1, "k"));
        ActionSet set;
        for (const std::string& member : {name, keep}) {
            ActionMember entry;
            entry.record.path = folder;
            entry.record.namenosuffix = member;
            entry.record.suffix = "dat";
            entry.record.size = 1;
            entry.acted = member == name;
            set.members.push_back(entry);
        }
        batch.sets.push_back(set);
        batch.targets.push_back(ActionTarget{static_cast<size_t>(i), 0, folder + name + "dat"});
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
            ActionWorker worker;
            worker.SetAfterEachFile([&](size_t) {
                if (write(fds[1], "x", 1) != 1) _exit(1);
            });
            ActionCounts counts;
            RunActionBatch(worker, nullptr, &db, batch, counts, {});
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
        ASSERT_TRUE(history::ListScans(db, scans).IsOk());
        ASSERT_EQ(scans.size(), 2u);
        std::map<std::string, int> held;
        for (const auto& scan : scans) {
            ASSERT_TRUE(history::ReadScanRows(db, scan.id, [&](const history::ScanRow& row) {
                            ++held[row.namenosuffix];
                            return 0;
                        }).IsOk());
        }
        int gone = 0;
        for (const ActionSet& set : batch.sets) {
            const FileRecord& record = set.members[0].record;
            const bool exists = fs::exists(record.FullPath());
            gone += exists ? 0 : 1;
            EXPECT_EQ(held[record.namenosuffix], exists ? 2 : 0)
                << record.namenosuffix << " after a kill at " << kill_after;
        }
        EXPECT_GE(gone, kill_after);
        // The files still there are left for the next round.
    }
}

}  // namespace
}  // namespace merravine
