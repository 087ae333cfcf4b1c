// The delete worker: one thread at a time removes (or moves to the trash) the files
// the user ticked, one by one, drops each file that is gone from the result groups
// and from every stored scan, and reports [requested, deleted, failed] to the page.
//
// Threads: the commands (delete_commands.h) run on the UI thread; they start the
// worker thread and write `deleteState` 1 (start) and 2 (stop request). The worker
// thread reads `deleteState` before each file and writes 0 as its very last step,
// after the page has had the counts. The result groups are changed only under the
// engine's groups lock; the history file only through its own lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "history/history_db.h"
#include "search/search_engine.h"
#include "util/page_bridge.h"

namespace merravine {

/// Values of `deleteState`.
enum DeleteState : int32_t {
    DELETE_IDLE = 0,
    DELETE_RUNNING = 1,
    DELETE_STOP = 2,
};

/// What the worker does with each file.
enum class DeleteMode { Unlink, Trash };

/// One file to remove: the parts of its result row that deletion reads.
struct DeleteRequest {
    std::string path;
    std::string namenosuffix;
    std::string suffix;
    int64_t size = 0;  ///< the size under which the file was delivered
};

/// The delete job's state. Destroy it before the engine, the history and the bridge it
/// was started with: its destructor asks a running thread to stop and waits for it.
struct DeleteWorker {
    DeleteWorker() = default;
    DeleteWorker(const DeleteWorker&) = delete;
    DeleteWorker& operator=(const DeleteWorker&) = delete;
    ~DeleteWorker();

    std::atomic<int32_t> deleteState{DELETE_IDLE};
    std::thread deleteThread;  ///< the most recent worker thread

    /// Tests only: called on the worker thread after each file with the number done.
    std::function<void(size_t)> afterEachFile;
};

/// The counts a run reports.
struct DeleteCounts {
    int32_t requested = 0;
    int32_t deleted = 0;
    int32_t failed = 0;
};

/// Turns the rows a page sent (elements 1, 2, 3 and the size text at 5) into requests.
std::vector<DeleteRequest> RequestsFromRows(const ScriptValue& rows);

/// Starts the worker thread on `batch`; the caller has set deleteState to 1 and made
/// sure no earlier thread runs.
void StartDeleteThread(DeleteWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                       PageBridge& bridge, DeleteMode mode, std::vector<DeleteRequest> batch);

/// Runs one batch on the calling thread (the worker thread's body without the report).
DeleteCounts RunDeleteBatch(DeleteWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                            DeleteMode mode, const std::vector<DeleteRequest>& batch);

}  // namespace merravine
