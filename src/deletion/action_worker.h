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
// its state before each file; it changes the result groups only under the groups lock
// and returns to DELETE_IDLE as its very last step, after the page has had the counts.
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

/// The states of the action job (ActionWorker::State).
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

/// The action job: at most one run at a time, on a thread of its own. Destroy it before
/// the engine, the history and the bridge it was started with: its destructor asks a
/// running thread to stop and waits for it.
class ActionWorker {
  public:
    ActionWorker() = default;
    ActionWorker(const ActionWorker&) = delete;
    ActionWorker& operator=(const ActionWorker&) = delete;
    ~ActionWorker();

    /// A DeleteState value.
    int32_t State() const { return state_.load(); }
    /// Claims the worker for a run when it is idle (the previous run's thread, which has
    /// already reported, is joined first); false when a run is going on.
    bool TryClaim();
    /// Gives a claim back whose thread never started.
    void ReleaseClaim() { state_.store(DELETE_IDLE); }
    /// Runs `work` on the claimed run's thread; the thread gives the claim back as its
    /// very last step.
    void Launch(std::function<void()> work);
    /// Asks a running run to stop after the file in hand.
    void RequestStop();
    /// Whether a stop was asked for the run going on.
    bool StopRequested() const { return State() == DELETE_STOP; }
    /// Waits until the last run's thread has ended.
    void Join();

    /// Where the files of the last trash run went, for an undo: emptied as a trash run
    /// starts, added to by it, taken whole by an undo.
    void ForgetTrashed();
    void NoteTrashed(platform::TrashPlace place);
    size_t TrashedCount() const;
    std::vector<platform::TrashPlace> TakeTrashed();

    /// Tests only: `hook` is called on the worker thread after each file with the number
    /// of files reached. Set while no run goes on.
    void SetAfterEachFile(std::function<void(size_t)> hook) { afterEachFile_ = std::move(hook); }
    void AfterFile(size_t reached) const {
        if (afterEachFile_) afterEachFile_(reached);
    }

  private:
    std::atomic<int32_t> state_{DELETE_IDLE};
    std::thread thread_;  // the most recent run's thread
    mutable std::mutex trashMutex_;
    std::vector<platform::TrashPlace> lastTrashed_;  // under trashMutex_
    std::function<void(size_t)> afterEachFile_;
};

/// Called after each file with the target and its result (the command line prints it).
using FileReport = std::function<void(const ActionBatch&, const ActionTarget&, const FileResult&)>;

/// Runs `batch` on the calling thread, counting into `counts` as it goes (so a failure
/// part way leaves true counts). Files that left their place leave the result groups
/// and the stored scans; `engine` and `history` may be null (the command line).
void RunActionBatch(ActionWorker& worker, SearchEngine* engine, history::HistoryDb* history,
                    ActionBatch& batch, ActionCounts& counts, const FileReport& report = {});

/// Starts the worker thread on `batch`; the caller has claimed the worker (TryClaim). The thread
/// ends with DelFileResultToUI(counts).
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
