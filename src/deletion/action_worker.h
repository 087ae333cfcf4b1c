// The action path: every way of acting on duplicates (delete, move to the trash,
// replace with a hard link, replace with a reflink, move to a folder) runs through
// one loop with one check per file, made just before the file is touched:
//
// - the file is still the one the scan found: a plain file of its size, with the
//   scanned device, inode and modification time (a stored scan has no identity: its
//   file is compared byte for byte with the kept copy instead);
// - a member of its set that is not acted on in this run still exists as a plain file
//   of the set's size, unchanged since the scan (device, inode, size, modification and
//   change time; for a stored scan its bytes equal the file's); otherwise the file is
//   the last copy and stays;
// - a protected file is refused;
// - before a link replaces a file, both files are compared byte for byte.
// No folder on the way is followed through a symbolic link (see platform/file_actions.h).
//
// Threads: the commands (action_commands.h) run on the UI thread, build the batch from
// the result groups (under the groups lock) and start the worker thread. The worker reads
// `deleteState` before each file; it changes the result groups only under the groups lock
// and writes 0 to `deleteState` as its very last step, after the page has had the counts.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "history/history_db.h"
#include "platform/file_actions.h"
#include "search/search_engine.h"
#include "util/page_bridge.h"

namespace merravine {

/// Values of `deleteState`.
enum DeleteState : int32_t {
    DELETE_IDLE = 0,
    DELETE_RUNNING = 1,
    DELETE_STOP = 2,
};

/// What a run does with each file.
enum class ActionKind { Delete, Trash, HardLink, Reflink, Move };

/// What became of one file.
enum class Outcome {
    Done,          ///< acted on (or, for delete and trash, already gone)
    Changed,       ///< no longer the scanned file (or its content differs): left alone
    LastCopyKept,  ///< no unchanged copy outside the run was left: left alone
    Protected,     ///< inside a protected folder: left alone
    Refused,       ///< the row names no file of the results: nothing touched
    Failed,        ///< the system refused; `error` says why
};

/// One member of a set, as the scan saw it.
struct ActionMember {
    FileRecord record;
    std::string searchRoot;  ///< the search folder it was found below ("" when unknown)
    bool acted = false;      ///< part of this run (never chosen as the kept copy)
};

/// One set of identical files with the members this run acts on.
struct ActionSet {
    std::vector<ActionMember> members;
};

/// One file to act on: member `member` of set `set`; or a row no scan delivered.
struct ActionTarget {
    size_t set = SIZE_MAX;
    size_t member = 0;
    std::string shownPath;  ///< the path as the row gave it (for refused rows)
};

/// A whole run, built on the UI thread (or by the command line) before it starts.
struct ActionBatch {
    ActionKind kind = ActionKind::Delete;
    std::string moveTarget;  ///< canonical folder ending in "/" (Move only)
    std::vector<std::string> protectDirs;
    std::vector<ActionSet> sets;
    std::vector<ActionTarget> targets;
    bool dryRun = false;  ///< check everything, change nothing
};

/// The result of one file.
struct FileResult {
    Outcome outcome = Outcome::Done;
    int error = 0;         ///< errno of a failure (0 otherwise)
    std::string keptPath;  ///< the copy that was kept (when one was found)
    std::string newPath;   ///< where a moved file went
};

/// The counts of a run. requested = done + changed + lastCopyKept + protectedKept +
/// refused + failed after a complete run; a stopped run leaves the rest untouched.
struct ActionCounts {
    int32_t requested = 0;
    int32_t done = 0;
    int32_t failed = 0;
    int32_t changed = 0;
    int32_t lastCopyKept = 0;
    int32_t protectedKept = 0;
    int32_t refused = 0;
    std::map<std::string, int32_t> failures;  ///< failed files by reason ("ENOSPC", ...)

    int32_t Reached() const {
        return done + failed + changed + lastCopyKept + protectedKept + refused;
    }
    void Count(const FileResult& result);
};

/// The action job's state. Destroy it before the engine, the history and the bridge it
/// was started with: its destructor asks a running thread to stop and waits for it.
struct ActionWorker {
    ActionWorker() = default;
    ActionWorker(const ActionWorker&) = delete;
    ActionWorker& operator=(const ActionWorker&) = delete;
    ~ActionWorker();

    std::atomic<int32_t> deleteState{DELETE_IDLE};
    std::thread deleteThread;  ///< the most recent worker thread

    /// Where the last trash run put its files, for an undo. Written by the worker
    /// thread before it reports, read by the UI thread while idle; guarded by trashMutex.
    std::vector<platform::TrashPlace> lastTrashed;
    std::mutex trashMutex;

    /// Tests only: called on the worker thread after each file with the number done.
    std::function<void(size_t)> afterEachFile;
};

/// Called after each file with the target and its result (the command line prints it).
using FileReport = std::function<void(const ActionBatch&, const ActionTarget&, const FileResult&)>;

/// Runs `batch` on the calling thread, counting into `counts` as it goes (so a failure
/// part way leaves true counts). Files that left their place leave the result groups
/// and the stored scans; `engine` and `history` may be null (the command line).
void RunActionBatch(ActionWorker& worker, SearchEngine* engine, history::HistoryDb* history,
                    ActionBatch& batch, ActionCounts& counts, const FileReport& report = {});

/// Starts the worker thread on `batch`; the caller has set deleteState to 1 and made
/// sure no earlier thread runs. The thread ends with DelFileResultToUI(counts).
void StartActionThread(ActionWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                       PageBridge& bridge, ActionBatch batch);

/// The counts as the page receives them: [requested, done, failed, changed, last copy
/// kept, protected, refused, [[reason, count]...], trashed files that can be put back].
ScriptValue CountsValue(const ActionCounts& counts, int32_t restorable);

/// Whether the file was found in a protect folder or lies in one of `protectDirs` now.
bool IsProtectedFile(const std::vector<std::string>& protectDirs, const FileRecord& record);

/// Where a moved file goes: target + path below its search root.
std::string MoveDestination(const std::string& target, const FileRecord& record,
                            const std::string& searchRoot);

}  // namespace merravine
