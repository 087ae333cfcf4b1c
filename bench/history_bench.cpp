// Benchmark of the scan history and the delete worker on real files:
//   1. storing one scan of 100,000 duplicate files (target: under 2 s);
//   2. deleting 10,000 files while 20 stored scans hold them (target: under 10 s),
//      each deleted file purged from every scan;
//   3. the same 10,000 files moved to the trash instead;
//   and, for comparison, deleting them with no stored scan.
// Usage: history_bench [work folder]   (a temporary folder by default)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "deletion/delete_worker.h"
#include "history/history_db.h"
#include "history/scan_store.h"

namespace fs = std::filesystem;
using merravine::history::ScanRow;

namespace {

/// CPU seconds (user + system) the process has used so far.
double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<ScanRow> DuplicateRows(const std::string& root, int files) {
    std::vector<ScanRow> rows;
    rows.reserve(static_cast<size_t>(files));
    for (int i = 0; i < files; ++i) {
        char key[33];
        std::snprintf(key, sizeof key, "%032x", i / 2);
        rows.push_back(ScanRow{1000 + i / 2, root + "/folder " + std::to_string(i / 500) + "/",
                               "file " + std::to_string(i) + ".", "dat", "1700000000", "1700000001",
                               "1700000002", std::string(key, 32), 32});
    }
    return rows;
}

/// Writes the files of `rows` to disk (each of its row's size).
void WriteFiles(const std::vector<ScanRow>& rows) {
    for (const auto& row : rows) {
        fs::create_directories(row.path);
        std::ofstream out(row.path + row.namenosuffix + row.suffix, std::ios::binary);
        const std::string content(static_cast<size_t>(row.filesize), 'x');
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
}

/// Loads `rows` into the engine's groups as a finished search would leave them.
void FillGroups(merravine::SearchEngine& engine, const std::vector<ScanRow>& rows) {
    const auto lock = engine.LockGroups();
    merravine::ClearResults(engine);
    for (const auto& row : rows) {
        merravine::AddToGroups(engine, row.path, row.namenosuffix, row.suffix, row.filetype,
                               static_cast<merravine::FileLen>(row.filesize), row.filekey);
    }
}

void DeleteRun(const fs::path& work, merravine::DeleteMode mode, const char* label, int scans) {
    constexpr int kFiles = 10000;
    const std::string run = std::string(label) + std::to_string(scans);
    const fs::path data = work / (run + "-data");
    fs::create_directories(data);
    const auto rows = DuplicateRows((work / (run + "-files")).string(), kFiles);
    WriteFiles(rows);
    merravine::history::HistoryDb db;
    merravine::history::OpenHistoryDb(db, data.string());
    for (int i = 0; i < scans; ++i) merravine::history::StoreScan(db, {work.string()}, rows, 20);
    merravine::SearchEngine engine;
    FillGroups(engine, rows);
    std::vector<merravine::DeleteRequest> batch;
    for (const auto& row : rows) {
        batch.push_back({row.path, row.namenosuffix, row.suffix, row.filesize});
    }
    merravine::DeleteWorker worker;
    worker.deleteState = merravine::DELETE_RUNNING;
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = CpuSeconds();
    const auto counts = merravine::RunDeleteBatch(worker, engine, db, mode, batch);
    const double seconds = SecondsSince(start);
    const double cpu = CpuSeconds() - cpu_start;
    worker.deleteState = merravine::DELETE_IDLE;
    std::printf(
        "%s %d files with %d stored scans: %.2f s, %.2f s CPU (%d deleted, %d failed, %zu groups "
        "left)\n",
        label, kFiles, scans, seconds, cpu, counts.deleted, counts.failed, engine.groups.size());
}

}  // namespace

int main(int argc, char** argv) {
    fs::path work =
        argc > 1
            ? fs::path(argv[1])
            : fs::temp_directory_path() /
                  ("history-bench-" +
                   std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(work);

    {
        const auto rows = DuplicateRows("/home/user/data", 100000);
        merravine::history::HistoryDb db;
        merravine::history::OpenHistoryDb(db, work.string());
        for (int round = 1; round <= 3; ++round) {
            const auto start = std::chrono::steady_clock::now();
            const double cpu_start = CpuSeconds();
            const int32_t id = merravine::history::StoreScan(db, {"/home/user/data"}, rows, 20);
            std::printf(
                "store a scan of 100000 duplicate files (round %d, id %d): %.2f s, %.2f s CPU\n",
                round, id, SecondsSince(start), CpuSeconds() - cpu_start);
        }
    }
    DeleteRun(work, merravine::DeleteMode::Unlink, "delete", 0);
    DeleteRun(work, merravine::DeleteMode::Unlink, "delete", 20);
    setenv("XDG_DATA_HOME", (work / "xdg").c_str(), 1);
    DeleteRun(work, merravine::DeleteMode::Trash, "trash", 20);

    if (argc <= 1) fs::remove_all(work);
    return 0;
}
