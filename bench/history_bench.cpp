// Benchmark of the scan history and the action path on real files:
//   1. storing one scan of 100,000 duplicate files (target: under 2 s);
//   2. deleting 10,000 files (one of each of 10,000 pairs found by a real search) while
//      20 stored scans hold them (target: under 10 s), each deleted file purged from
//      every scan;
//   3. the same 10,000 files moved to the trash instead, and replaced with hard links;
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

#include "deletion/action_commands.h"
#include "history/history_commands.h"
#include "history/history_db.h"
#include "history/scan_store.h"
#include "search/result_rows.h"

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

const char* KindName(merravine::ActionKind kind) {
    switch (kind) {
        case merravine::ActionKind::Delete:
            return "delete";
        case merravine::ActionKind::Trash:
            return "trash";
        case merravine::ActionKind::HardLink:
            return "hard-link";
        case merravine::ActionKind::Reflink:
            return "reflink";
        case merravine::ActionKind::Move:
            return "move";
    }
    return "";
}

/// 10,000 pairs of files found by a real search; one file of each pair is acted on.
void ActionRun(const fs::path& work, merravine::ActionKind kind, int scans) {
    constexpr int kPairs = 10000;
    const std::string run = std::string(KindName(kind)) + std::to_string(scans);
    const fs::path data = work / (run + "-data");
    const fs::path files = work / (run + "-files");
    fs::create_directories(data);
    for (int i = 0; i < kPairs; ++i) {
        const std::string content =
            "pair " + std::to_string(i) + std::string(static_cast<size_t>(100 + i % 400), '.');
        for (const char* side : {"/a/", "/b/"}) {
            const fs::path file = files / (std::string(side).substr(1) + std::to_string(i / 500)) /
                                  std::string("f").append(std::to_string(i));
            fs::create_directories(file.parent_path());
            std::ofstream(file, std::ios::binary) << content;
        }
    }
    merravine::history::HistoryDb db;
    merravine::history::OpenHistoryDb(db, data.string());
    merravine::SearchEngine engine;
    engine.settings.searchDirs = {files.string()};
    engine.settings.skipflag = 0;
    merravine::StartSearch(engine);
    merravine::WaitForSearch(engine);
    {
        const auto lock = engine.LockGroups();
        for (int i = 0; i < scans; ++i) merravine::StoreFinishedScan(engine, db, 20);
    }
    // The rows of the "b" side: one of each pair.
    const merravine::ScriptValue all = merravine::BuildDuplicateRows(engine, 63);
    merravine::ScriptValue rows = merravine::ScriptValue::List({});
    const std::string side = (files / "b").string();
    for (const auto& row : all.Elements()) {
        if (row.At(1).TextForm().rfind(side, 0) == 0) rows.Append(row);
    }
    merravine::ActionBatch batch = merravine::BatchFromRows(engine, rows, kind);
    merravine::ActionWorker worker;
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = CpuSeconds();
    merravine::ActionCounts counts;
    merravine::RunActionBatch(worker, &engine, &db, batch, counts);
    const double seconds = SecondsSince(start);
    const double cpu = CpuSeconds() - cpu_start;
    std::printf(
        "%s %d files with %d stored scans: %.2f s, %.2f s CPU (%d done, %d failed, %d other)\n",
        KindName(kind), counts.requested, scans, seconds, cpu, counts.done, counts.failed,
        counts.Reached() - counts.done - counts.failed);
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
    ActionRun(work, merravine::ActionKind::Delete, 0);
    ActionRun(work, merravine::ActionKind::Delete, 20);
    setenv("XDG_DATA_HOME", (work / "xdg").c_str(), 1);
    ActionRun(work, merravine::ActionKind::Trash, 20);
    ActionRun(work, merravine::ActionKind::HardLink, 0);

    if (argc <= 1) fs::remove_all(work);
    return 0;
}
