#include "deletion/delete_commands.h"

#include <exception>

#include "util/log.h"

namespace merravine {

namespace {

ScriptValue StartRun(DeleteWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                     PageBridge& bridge, const ScriptValue& rows, DeleteMode mode) {
    // A search rebuilds the result groups: deleting from them meanwhile would race
    // with it and purge files from a scan that is not stored yet.
    if (engine.state.load() != W_READY) return ScriptValue::Int(1);
    if (worker.deleteState.load() != DELETE_IDLE) return ScriptValue::Int(1);
    // The previous thread has written its last value; wait for it to return.
    if (worker.deleteThread.joinable()) worker.deleteThread.join();
    worker.deleteState.store(DELETE_RUNNING);
    try {
        StartDeleteThread(worker, engine, history, bridge, mode, RequestsFromRows(rows));
    } catch (const std::exception& error) {
        // No thread runs, so the run is over before it began; the page hears "busy".
        LogDebug("The delete thread could not start: %s", error.what());
        worker.deleteState.store(DELETE_IDLE);
        return ScriptValue::Int(1);
    }
    return ScriptValue::Int(0);
}

}  // namespace

ScriptValue DeleteFiles(DeleteWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                        PageBridge& bridge, const ScriptValue& rows) {
    return StartRun(worker, engine, history, bridge, rows, DeleteMode::Unlink);
}

ScriptValue TrashFiles(DeleteWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                       PageBridge& bridge, const ScriptValue& rows) {
    return StartRun(worker, engine, history, bridge, rows, DeleteMode::Trash);
}

ScriptValue StopDelFile(DeleteWorker& worker) {
    int32_t running = DELETE_RUNNING;
    worker.deleteState.compare_exchange_strong(running, DELETE_STOP);
    return ScriptValue::Int(0);
}

bool DeletionRunning(const DeleteWorker& worker) {
    return worker.deleteState.load() != DELETE_IDLE;
}

}  // namespace merravine
