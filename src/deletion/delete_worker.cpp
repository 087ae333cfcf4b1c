#include "deletion/delete_worker.h"

#include <exception>

#include "history/sqlite_handle.h"
#include "platform/file_remove_scanned.h"
#include "platform/trash_move.h"
#include "util/log.h"
#include "util/text.h"
#include "util/thread_body.h"

namespace merravine {

namespace {

platform::RemoveOutcome RemoveOne(const DeleteRequest& request, DeleteMode mode) {
    const std::string full_path = request.path + request.namenosuffix + request.suffix;
    // A row that names no absolute path (a damaged or hand-made row) would be taken
    // relative to the working folder; such a path is never touched.
    if (full_path.empty() || full_path[0] != '/' || request.size < 0) {
        return platform::RemoveOutcome::kFailed;
    }
    const auto size = static_cast<uint64_t>(request.size);
    return mode == DeleteMode::Trash ? platform::TrashScannedFile(full_path, size)
                                     : platform::RemoveScannedFile(full_path, size);
}

// Files removed from disk whose rows are still in the stored scans. They are purged
// in batches: one transaction per file made deleting many files slow (a write of
// every stored scan's changed pages per file).
class PendingPurges {
public:
    explicit PendingPurges(history::HistoryDb& history) : history_(history) {}
    ~PendingPurges() { Flush(); }
    PendingPurges(const PendingPurges&) = delete;
    PendingPurges& operator=(const PendingPurges&) = delete;

    void Add(const DeleteRequest& request) {
        files_.push_back({request.path, request.namenosuffix, request.suffix});
        if (files_.size() >= kPurgeBatch) Flush();
    }
    void Flush() {
        if (files_.empty()) return;
        history::PurgeFilesFromHistory(history_, files_);
        files_.clear();
    }

private:
    static constexpr size_t kPurgeBatch = 64;
    history::HistoryDb& history_;
    std::vector<history::StoredFileName> files_;
};

void ForgetFile(SearchEngine& engine, PendingPurges& purges, const DeleteRequest& request) {
    FileRecord probe;
    probe.path = request.path;
    probe.namenosuffix = request.namenosuffix;
    probe.suffix = request.suffix;
    probe.size = static_cast<FileLen>(request.size);
    {
        const auto lock = engine.LockGroups();
        RemoveFromGroups(engine, probe);
    }
    purges.Add(request);
}

void ReportCounts(PageBridge& bridge, const DeleteCounts& counts) {
    ScriptValue values;
    values.Append(ScriptValue::Int(counts.requested));
    values.Append(ScriptValue::Int(counts.deleted));
    values.Append(ScriptValue::Int(counts.failed));
    const PageCallResult result = bridge.CallScriptFunction("DelFileResultToUI", values);
    if (!result.ok) LogDebug("DelFileResultToUI failed: %s", result.error.c_str());
}

}  // namespace

DeleteWorker::~DeleteWorker() {
    if (deleteState.load() != DELETE_IDLE) deleteState.store(DELETE_STOP);
    if (deleteThread.joinable()) deleteThread.join();
}

std::vector<DeleteRequest> RequestsFromRows(const ScriptValue& rows) {
    std::vector<DeleteRequest> batch;
    for (size_t i = 0; i < rows.Count(); ++i) {
        const ScriptValue& row = rows.At(i);
        DeleteRequest request;
        request.path = row.At(1).TextForm();
        request.namenosuffix = row.At(2).TextForm();
        request.suffix = row.At(3).TextForm();
        request.size = LeadingInt64(row.At(5).TextForm());
        batch.push_back(std::move(request));
    }
    return batch;
}

DeleteCounts RunDeleteBatch(DeleteWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                            DeleteMode mode, const std::vector<DeleteRequest>& batch) {
    DeleteCounts counts;
    counts.requested = static_cast<int32_t>(batch.size());
    PendingPurges purges(history);
    size_t done = 0;
    for (const DeleteRequest& request : batch) {
        if (worker.deleteState.load() == DELETE_STOP) break;
        switch (RemoveOne(request, mode)) {
            case platform::RemoveOutcome::kRemoved:
            case platform::RemoveOutcome::kAlreadyGone:
                // The results change before the history, and both only for a file
                // that is gone.
                ForgetFile(engine, purges, request);
                ++counts.deleted;
                break;
            case platform::RemoveOutcome::kNotTheScannedFile:
            case platform::RemoveOutcome::kFailed:
                ++counts.failed;
                break;
        }
        ++done;
        if (worker.afterEachFile) worker.afterEachFile(done);
    }
    purges.Flush();
    return counts;
}

void StartDeleteThread(DeleteWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                       PageBridge& bridge, DeleteMode mode, std::vector<DeleteRequest> batch) {
    worker.deleteThread =
        std::thread([&worker, &engine, &history, &bridge, mode, batch = std::move(batch)]() {
            DeleteCounts counts;
            counts.requested = static_cast<int32_t>(batch.size());
            (void)RunGuarded("delete thread",  // logged there
                             [&] { counts = RunDeleteBatch(worker, engine, history, mode, batch); });
            (void)RunGuarded("DelFileResultToUI", [&] { ReportCounts(bridge, counts); });
            worker.deleteState.store(DELETE_IDLE);
        });
}

}  // namespace merravine
