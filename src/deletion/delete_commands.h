// The deletion commands as the dispatcher calls them: plain functions over the
// script's argument and the objects they need. They run on the UI thread and return
// at once; the work happens on the delete worker's thread.
#pragma once

#include "deletion/delete_worker.h"
#include "util/script_value.h"

namespace merravine {

/// Starts deleting the files of `rows` for good (unlink). 0 when started; 1 when a
/// deletion still runs or a search runs (nothing is done then).
ScriptValue DeleteFiles(DeleteWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                        PageBridge& bridge, const ScriptValue& rows);

/// Like DeleteFiles, but moves each file into the trash of its file system.
ScriptValue TrashFiles(DeleteWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                       PageBridge& bridge, const ScriptValue& rows);

/// Asks a running deletion to stop before its next file; 0. Idle: nothing changes.
ScriptValue StopDelFile(DeleteWorker& worker);

/// True while a deletion or trash run has not finished; a search must not start then.
bool DeletionRunning(const DeleteWorker& worker);

}  // namespace merravine
