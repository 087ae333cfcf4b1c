#include "deletion/action_worker.h"

#include <cerrno>
#include <utility>

#include "settings/folder_lists.h"
#include "util/log.h"
#include "util/thread_body.h"

namespace merravine {

namespace {

using platform::FileStamp;
using platform::Folder;

// Files that left their place whose rows are still in the stored scans. They are
// purged in batches: one transaction per file made acting on many files slow.
class PendingPurges {
  public:
    explicit PendingPurges(history::HistoryDb* history) : history_(history) {}
    ~PendingPurges() { Flush(); }
    PendingPurges(const PendingPurges&) = delete;
    PendingPurges& operator=(const PendingPurges&) = delete;

    // Notes the next batch of files before any of them is touched (NotePendingPurges),
    // so that a kill between a removal and its purge is purged at the next start.
    void NoteAhead(const ActionBatch& batch, size_t from) {
        if (history_ == nullptr || from % kPurgeBatch != 0) return;
        std::vector<history::StoredFileName> files;
        for (size_t i = from; i < batch.targets.size() && i < from + kPurgeBatch; ++i) {
            const ActionTarget& target = batch.targets[i];
            if (target.set >= batch.sets.size()) continue;
            const FileRecord& record = batch.sets[target.set].members[target.member].record;
            files.push_back({record.path, record.namenosuffix, record.suffix});
        }
        if (!files.empty()) Logged(history::NotePendingPurges(*history_, files));
    }
    void Clear() {
        if (history_ != nullptr) Logged(history::ClearPendingPurges(*history_));
    }
    void Add(const FileRecord& record) {
        if (history_ == nullptr) return;
        files_.push_back({record.path, record.namenosuffix, record.suffix});
        if (files_.size() >= kPurgeBatch) Flush();
    }
    void Flush() {
        if (files_.empty()) return;
        Logged(history::PurgeFilesFromHistory(*history_, files_));
        files_.clear();
    }

  private:
    // A failed write to the history costs the stored scans' accuracy, not the action.
    static void Logged(const Status& status) {
        if (!status.IsOk()) LogDebug("%s", status.Message().c_str());
    }
    static constexpr size_t kPurgeBatch = 64;
    history::HistoryDb* history_;
    std::vector<history::StoredFileName> files_;
};

/// The last folder opened, kept for the next file of the same folder.
class FolderCache {
  public:
    /// 0 with `folder` pointing at the open folder, or errno.
    int Open(const std::string& path, const Folder*& folder) {
        if (path != path_ || error_ == -1) {
            folder_ = Folder();
            path_ = path;
            error_ = platform::OpenFolder(path, folder_);
        }
        folder = &folder_;
        return error_;
    }

  private:
    std::string path_;
    Folder folder_;
    int error_ = -1;
};

std::string NameOf(const FileRecord& record) { return record.namenosuffix + record.suffix; }

/// Whether `now` is still the file `record` describes (identity only when known).
bool StillScanned(const FileStamp& now, const FileRecord& record, bool with_change_time) {
    if (!now.plain || now.size != record.size) return false;
    if (record.inode == 0) return true;
    return now.device == record.device && now.inode == record.inode &&
           now.modifyNs == record.modifyNs &&
           (!with_change_time || now.changeNs == record.changeNs);
}

struct KeptCopy {
    const ActionMember* member = nullptr;
    const Folder* folder = nullptr;
    FileStamp stamp;
};

class Runner {
  public:
    Runner(ActionWorker& worker, SearchEngine* engine, history::HistoryDb* history,
           ActionBatch& batch)
        : worker_(worker), engine_(engine), batch_(batch), purges_(history) {}

    int OpenMoveTarget() { return platform::OpenFolder(batch_.moveTarget, moveRoot_); }

    FileResult Act(const ActionTarget& target) {
        FileResult result;
        if (target.set >= batch_.sets.size()) {
            result.outcome = Outcome::Refused;
            return result;
        }
        ActionSet& set = batch_.sets[target.set];
        FileRecord& record = set.members[target.member].record;
        if (IsProtectedFile(batch_.protectDirs, record)) {
            result.outcome = Outcome::Protected;
            return result;
        }
        const Folder* folder = nullptr;
        const std::string name = NameOf(record);
        FileStamp now;
        int error = targetFolders_.Open(record.path, folder);
        if (error == 0) error = platform::StampOf(*folder, name, now);
        if (error == ENOENT) return Gone(record);
        if (error == ELOOP || error == ENOTDIR || error == EINVAL) {
            // A folder on the way is a link now (or the row's folder is not canonical).
            result.outcome = Outcome::Changed;
            return result;
        }
        if (error != 0) return Failure(error);
        if (!StillScanned(now, record, false)) {
            result.outcome = Outcome::Changed;
            return result;
        }

        KeptCopy kept;
        const bool must_compare = record.inode == 0 || batch_.kind == ActionKind::HardLink ||
                                  batch_.kind == ActionKind::Reflink;
        bool content_differs = false;
        for (size_t m = 0; m < set.members.size(); ++m) {
            const ActionMember& member = set.members[m];
            if (member.acted || m == target.member) continue;
            if (CheckKept(member, *folder, name, now, must_compare, kept, content_differs)) break;
        }
        if (kept.member == nullptr) {
            result.outcome = content_differs ? Outcome::Changed : Outcome::LastCopyKept;
            return result;
        }
        result.keptPath = kept.member->record.FullPath();
        const bool same_inode = kept.stamp.device == now.device && kept.stamp.inode == now.inode;
        if (batch_.kind == ActionKind::HardLink && kept.stamp.device != now.device) {
            return Failure(EXDEV);
        }
        if (batch_.kind == ActionKind::Move) {
            result.newPath =
                MoveDestination(batch_.moveTarget, record, set.members[target.member].searchRoot);
        }
        if (batch_.dryRun) return result;

        switch (batch_.kind) {
            case ActionKind::Delete:
                error = platform::RemoveEntry(*folder, name);
                break;
            case ActionKind::Trash: {
                platform::TrashPlace place;
                error = platform::TrashEntry(*folder, record.path, name, now, place);
                if (error == 0) {
                    worker_.NoteTrashed(std::move(place));
                }
                break;
            }
            case ActionKind::HardLink:
                error = same_inode ? 0
                                   : platform::LinkOver(*kept.folder, NameOf(kept.member->record),
                                                        kept.stamp, *folder, name, now);
                break;
            case ActionKind::Reflink:
                error = same_inode ? 0
                                   : platform::CloneOver(*kept.folder, NameOf(kept.member->record),
                                                         kept.stamp, *folder, name, now);
                break;
            case ActionKind::Move:
                error = MoveOne(*folder, name, now, result.newPath);
                break;
        }
        Restamp(set, now, kept.stamp);
        if (error == ENOENT) return Gone(record);
        if (error == ESTALE) {
            result.outcome = Outcome::Changed;
            return result;
        }
        if (error != 0) return Failure(error);
        if (batch_.kind == ActionKind::HardLink || batch_.kind == ActionKind::Reflink) {
            Relisted(record, *folder, name);
        } else {
            Forget(record);
        }
        return result;
    }

    void NoteAhead(size_t from) {
        if (!batch_.dryRun) purges_.NoteAhead(batch_, from);
    }
    void Flush() {
        purges_.Flush();
        purges_.Clear();
    }

  private:
    /// Whether `member` may stand as the kept copy of the file `name` in `folder`.
    bool CheckKept(const ActionMember& member, const Folder& folder, const std::string& name,
                   const FileStamp& now, bool must_compare, KeptCopy& kept, bool& content_differs) {
        const FileRecord& record = member.record;
        const Folder* kept_folder = nullptr;
        FileStamp stamp;
        if (keptFolders_.Open(record.path, kept_folder) != 0) return false;
        if (platform::StampOf(*kept_folder, NameOf(record), stamp) != 0) return false;
        if (!StillScanned(stamp, record, true)) return false;
        if (must_compare && !(stamp.device == now.device && stamp.inode == now.inode)) {
            bool equal = false;
            if (platform::CompareFiles(*kept_folder, NameOf(record), stamp, folder, name, now,
                                       equal) != 0) {
                return false;
            }
            if (!equal) {
                content_differs = true;
                return false;
            }
        }
        kept.member = &member;
        kept.folder = kept_folder;
        kept.stamp = stamp;
        return true;
    }

    int MoveOne(const Folder& folder, const std::string& name, const FileStamp& now,
                const std::string& destination) {
        if (!moveRoot_.IsOpen()) return EINVAL;
        const size_t slash = destination.find_last_of('/');
        const std::string relative =
            destination.substr(batch_.moveTarget.size(), slash + 1 - batch_.moveTarget.size());
        Folder into;
        if (const int error = platform::OpenOrMakeFolders(moveRoot_, relative, into)) return error;
        return platform::MoveEntry(folder, name, now, into, destination.substr(slash + 1));
    }

    /// The members that share the acted file's inode or the kept one's had their change
    /// time moved by the act itself (a link count changed): take their stamps again.
    void Restamp(ActionSet& set, const FileStamp& acted, const FileStamp& kept) {
        for (ActionMember& member : set.members) {
            FileRecord& record = member.record;
            if (member.acted || record.inode == 0) continue;
            const Folder* folder = nullptr;
            FileStamp stamp;
            if (keptFolders_.Open(record.path, folder) != 0) continue;
            if (platform::StampOf(*folder, NameOf(record), stamp) != 0) continue;
            const bool touched = (record.device == acted.device && record.inode == acted.inode) ||
                                 (record.device == kept.device && record.inode == kept.inode);
            if (touched && stamp.device == record.device && stamp.inode == record.inode &&
                stamp.modifyNs == record.modifyNs && stamp.size == record.size) {
                record.changeNs = stamp.changeNs;
                record.links = stamp.links;
            }
        }
    }

    FileResult Gone(const FileRecord& record) {
        Forget(record);
        FileResult result;
        const bool removing = batch_.kind == ActionKind::Delete || batch_.kind == ActionKind::Trash;
        result.outcome = removing ? Outcome::Done : Outcome::Changed;
        return result;
    }

    static FileResult Failure(int error) {
        FileResult result;
        result.outcome = Outcome::Failed;
        result.error = error;
        return result;
    }

    /// The file left its place: out of the results, then out of the stored scans.
    void Forget(const FileRecord& record) {
        if (batch_.dryRun) return;
        if (engine_ != nullptr) {
            const auto lock = engine_->LockGroups();
            RemoveFromGroups(*engine_, record);
        }
        purges_.Add(record);
    }

    /// The file is another inode (hard link) or has new extents: its entry in the
    /// results takes the identity it has now, so a later run checks against that.
    void Relisted(FileRecord& record, const Folder& folder, const std::string& name) {
        FileStamp stamp;
        if (platform::StampOf(folder, name, stamp) != 0) return;
        const FileRecord before = record;
        if (record.inode != 0) {
            record.device = stamp.device;
            record.inode = stamp.inode;
            record.links = stamp.links;
            record.modifyNs = stamp.modifyNs;
            record.changeNs = stamp.changeNs;
        }
        if (engine_ == nullptr) return;
        const auto lock = engine_->LockGroups();
        for (SizeGroup& group : engine_->groups) {
            if (group.size != record.size) continue;
            for (FileRecord& member : group.members) {
                if (member.path == before.path && member.namenosuffix == before.namenosuffix &&
                    member.suffix == before.suffix) {
                    member.device = record.device;
                    member.inode = record.inode;
                    member.links = record.links;
                    member.modifyNs = record.modifyNs;
                    member.changeNs = record.changeNs;
                    return;
                }
            }
        }
    }

    ActionWorker& worker_;
    SearchEngine* engine_;
    ActionBatch& batch_;
    PendingPurges purges_;
    FolderCache targetFolders_;
    FolderCache keptFolders_;
    Folder moveRoot_;
};

void ReportCounts(PageBridge& bridge, const ActionCounts& counts, int32_t restorable) {
    const PageCallResult result =
        bridge.CallScriptFunction("DelFileResultToUI", CountsValue(counts, restorable));
    if (!result.ok) LogDebug("DelFileResultToUI failed: %s", result.error.c_str());
}

}  // namespace

void ActionCounts::Count(const FileResult& result) {
    switch (result.outcome) {
        case Outcome::Done:
            ++done;
            break;
        case Outcome::Changed:
            ++changed;
            break;
        case Outcome::LastCopyKept:
            ++lastCopyKept;
            break;
        case Outcome::Protected:
            ++protectedKept;
            break;
        case Outcome::Refused:
            ++refused;
            break;
        case Outcome::Failed:
            ++failed;
            ++failures[platform::ErrorName(result.error)];
            break;
    }
}

ActionWorker::~ActionWorker() {
    if (state_.load() != DELETE_IDLE) state_.store(DELETE_STOP);
    Join();
}

bool ActionWorker::TryClaim() {
    if (state_.load() != DELETE_IDLE) return false;
    Join();  // the previous run has written its last value; wait for its thread to return
    state_.store(DELETE_RUNNING);
    return true;
}

void ActionWorker::Launch(std::function<void()> work) {
    thread_ = std::thread([this, work = std::move(work)] {
        work();
        state_.store(DELETE_IDLE);
    });
}

void ActionWorker::RequestStop() {
    int32_t running = DELETE_RUNNING;
    state_.compare_exchange_strong(running, DELETE_STOP);
}

void ActionWorker::Join() {
    if (thread_.joinable()) thread_.join();
}

void ActionWorker::ForgetTrashed() {
    std::lock_guard lock(trashMutex_);
    lastTrashed_.clear();
}

void ActionWorker::NoteTrashed(platform::TrashPlace place) {
    std::lock_guard lock(trashMutex_);
    lastTrashed_.push_back(std::move(place));
}

size_t ActionWorker::TrashedCount() const {
    std::lock_guard lock(trashMutex_);
    return lastTrashed_.size();
}

std::vector<platform::TrashPlace> ActionWorker::TakeTrashed() {
    std::lock_guard lock(trashMutex_);
    return std::exchange(lastTrashed_, {});
}

bool IsProtectedFile(const std::vector<std::string>& protectDirs, const FileRecord& record) {
    if ((record.flags & FILE_FLAG_PROTECTED) != 0) return true;
    const std::string full = record.FullPath();
    for (const std::string& folder : protectDirs) {
        if (PathWithin(full, folder)) return true;
    }
    return false;
}

std::string MoveDestination(const std::string& target, const FileRecord& record,
                            const std::string& searchRoot) {
    std::string below;
    if (!searchRoot.empty() && PathWithin(record.path, searchRoot)) {
        below = record.path.substr(searchRoot.size());
        while (!below.empty() && below.front() == '/') below.erase(0, 1);
    } else {
        below = record.path.substr(1);
    }
    return target + below + NameOf(record);
}

void RunActionBatch(ActionWorker& worker, SearchEngine* engine, history::HistoryDb* history,
                    ActionBatch& batch, ActionCounts& counts, const FileReport& report) {
    counts.requested = static_cast<int32_t>(batch.targets.size());
    Runner runner(worker, engine, history, batch);
    int move_error = 0;
    if (batch.kind == ActionKind::Move) move_error = runner.OpenMoveTarget();
    size_t reached = 0;
    for (const ActionTarget& target : batch.targets) {
        if (worker.StopRequested()) break;
        runner.NoteAhead(reached);
        FileResult result;
        if (move_error != 0 && target.set < batch.sets.size()) {
            result.outcome = Outcome::Failed;
            result.error = move_error;
        } else {
            result = runner.Act(target);
        }
        counts.Count(result);
        if (report) report(batch, target, result);
        ++reached;
        worker.AfterFile(reached);
    }
    runner.Flush();
}

ScriptValue CountsValue(const ActionCounts& counts, int32_t restorable) {
    ScriptValue values;
    for (const int32_t n : {counts.requested, counts.done, counts.failed, counts.changed,
                            counts.lastCopyKept, counts.protectedKept, counts.refused}) {
        values.Append(ScriptValue::Int(n));
    }
    ScriptValue reasons = ScriptValue::List({});
    for (const auto& [reason, n] : counts.failures) {
        reasons.Append(ScriptValue::List({ScriptValue::Text(reason), ScriptValue::Int(n)}));
    }
    values.Append(std::move(reasons));
    values.Append(ScriptValue::Int(restorable));
    return values;
}

void StartActionThread(ActionWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                       PageBridge& bridge, ActionBatch batch) {
    worker.Launch([&worker, &engine, &history, &bridge, batch = std::move(batch)]() mutable {
        ActionCounts counts;
        counts.requested = static_cast<int32_t>(batch.targets.size());
        if (batch.kind == ActionKind::Trash) worker.ForgetTrashed();
        // What was counted before a failure happened; the rest was not reached.
        (void)RunGuarded("action thread",  // logged there
                         [&] { RunActionBatch(worker, &engine, &history, batch, counts); });
        const auto restorable =
            static_cast<int32_t>(batch.kind == ActionKind::Trash ? worker.TrashedCount() : 0);
        (void)RunGuarded("DelFileResultToUI", [&] { ReportCounts(bridge, counts, restorable); });
    });
}

}  // namespace merravine
