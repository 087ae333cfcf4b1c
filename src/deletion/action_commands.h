// The action commands as the dispatcher calls them: plain functions over the script's
// arguments and the objects they need. They run on the UI thread and return at once;
// the work happens on the action worker's thread (action_worker.h).
//
// A row is acted on only when it names a file of the result groups (the current
// results or the loaded stored scan) by its canonical folder, name and delivered size;
// the identity checked later is the one the scan recorded, never one the page sent.
#pragma once

#include "deletion/action_worker.h"
#include "util/script_value.h"

namespace merravine {

/// Answer of a command that starts a run.
enum ActionAnswer : int32_t {
    ACTION_STARTED = 0,
    ACTION_BUSY = 1,        ///< a run or a search is going on: nothing was done
    ACTION_BAD_TARGET = 2,  ///< the move folder is not usable (see MoveFiles)
};

/// The batch for `rows` (elements 1, 2, 3 and the size text at 5): every row that names
/// a file of the groups becomes a target with its whole set; any other row a refused
/// target. Takes the groups lock.
ActionBatch BatchFromRows(const SearchEngine& engine, const ScriptValue& rows, ActionKind kind);

/// Starts deleting the files of `rows` for good (unlink).
ScriptValue DeleteFiles(ActionWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                        PageBridge& bridge, const ScriptValue& rows);
/// Moves each file into the trash of its file system.
ScriptValue TrashFiles(ActionWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                       PageBridge& bridge, const ScriptValue& rows);
/// Replaces each file with a hard link to an unchanged copy of its set.
ScriptValue LinkFiles(ActionWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                      PageBridge& bridge, const ScriptValue& rows);
/// Makes each file share the extents of an unchanged copy of its set.
ScriptValue ReflinkFiles(ActionWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                         PageBridge& bridge, const ScriptValue& rows);
/// Moves each file below `folder`, keeping its path below its search folder. 2 when
/// the folder is not an absolute existing folder or lies inside a search folder.
ScriptValue MoveFiles(ActionWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                      PageBridge& bridge, const ScriptValue& rows, const ScriptValue& folder);

/// 1 when every folder holding a file of `rows` can share extents, else 0.
ScriptValue CanReflink(const ScriptValue& rows);

/// Puts the files of the last trash run back; [restored, refused]. Busy: 1.
ScriptValue UndoTrash(ActionWorker& worker);

/// Asks a running action to stop before its next file; 0. Idle: nothing changes.
ScriptValue StopDelFile(ActionWorker& worker);

/// True while a run has not finished; a search must not start then.
bool DeletionRunning(const ActionWorker& worker);

/// Whether `folder` (absolute) may receive moved files: it exists, and neither it lies
/// inside a search folder nor a search folder inside it.
bool MoveTargetAllowed(const std::string& folder, const std::vector<std::string>& searchDirs);

}  // namespace merravine
