#include "deletion/action_commands.h"

#include <exception>
#include <set>
#include <unordered_map>

#include "settings/folder_lists.h"
#include "util/log.h"
#include "util/text.h"

namespace merravine {

namespace {

/// The search folder `record` lies below (the longest one), or "".
std::string SearchRootOf(const std::vector<std::string>& searchDirs, const FileRecord& record) {
    std::string best;
    const std::string full = record.FullPath();
    for (const std::string& folder : searchDirs) {
        if (folder.size() > best.size() && PathWithin(full, folder)) best = folder;
    }
    return best;
}

ScriptValue StartRun(ActionWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                     PageBridge& bridge, const ScriptValue& rows, ActionKind kind,
                     const std::string& moveTarget = {}) {
    // A search rebuilds the result groups: acting on them meanwhile would race with it
    // and purge files from a scan that is not stored yet.
    if (engine.state.load() != W_READY) return ScriptValue::Int(ACTION_BUSY);
    if (!worker.TryClaim()) return ScriptValue::Int(ACTION_BUSY);
    try {
        ActionBatch batch = BatchFromRows(engine, rows, kind);
        batch.moveTarget = moveTarget;
        StartActionThread(worker, engine, history, bridge, std::move(batch));
    } catch (const std::exception& error) {
        // No thread runs, so the run is over before it began; the page hears "busy".
        LogDebug("The action thread could not start: %s", error.what());
        worker.ReleaseClaim();
        return ScriptValue::Int(ACTION_BUSY);
    }
    return ScriptValue::Int(ACTION_STARTED);
}

}  // namespace

ActionBatch BatchFromRows(const SearchEngine& engine, const ScriptValue& rows, ActionKind kind) {
    ActionBatch batch;
    batch.kind = kind;
    batch.protectDirs = engine.settings.protectDirs;
    const std::vector<std::string>& searchDirs = engine.settings.searchDirs;

    // The files the rows name, in canonical form; only these are looked for in the groups
    // (a map of every listed file would cost as much again as the results).
    constexpr size_t kNowhere = SIZE_MAX;
    std::unordered_map<std::string, std::pair<size_t, size_t>> where;
    for (size_t i = 0; i < rows.Count(); ++i) {
        const ScriptValue& row = rows.At(i);
        const std::string folder = row.At(1).TextForm();
        const std::string name = row.At(2).TextForm() + row.At(3).TextForm();
        if (platform::IsCanonicalFolder(folder) && platform::IsPlainName(name)) {
            where.emplace(folder + name, std::pair{kNowhere, size_t{0}});
        }
    }
    const auto lock = engine.LockGroups();
    for (size_t g = 0; g < engine.groups.size() && !where.empty(); ++g) {
        const auto& members = engine.groups[g].members;
        for (size_t m = 0; m < members.size(); ++m) {
            const auto found = where.find(members[m].FullPath());
            if (found != where.end() && found->second.first == kNowhere) found->second = {g, m};
        }
    }
    // The batch set of each (group, first member of its key run).
    std::map<std::pair<size_t, size_t>, size_t> set_of_run;
    std::set<std::pair<size_t, size_t>> listed;  // (set, member) already a target

    for (size_t i = 0; i < rows.Count(); ++i) {
        const ScriptValue& row = rows.At(i);
        ActionTarget target;
        const std::string folder = row.At(1).TextForm();
        const std::string name = row.At(2).TextForm() + row.At(3).TextForm();
        target.shownPath = folder + name;
        const int64_t size = LeadingInt64(row.At(5).TextForm());
        const auto found = platform::IsCanonicalFolder(folder) && platform::IsPlainName(name)
                               ? where.find(target.shownPath)
                               : where.end();
        if (found == where.end() || found->second.first == kNowhere ||
            engine.groups[found->second.first].size != static_cast<uint64_t>(size)) {
            batch.targets.push_back(std::move(target));  // refused: no scan delivered it
            continue;
        }
        const auto [g, m] = found->second;
        const auto& members = engine.groups[g].members;
        size_t first = m;
        while (first > 0 && members[first - 1].key == members[m].key) --first;
        size_t end = m + 1;
        while (end < members.size() && members[end].key == members[m].key) ++end;
        auto [run, added] = set_of_run.emplace(std::pair{g, first}, batch.sets.size());
        if (added) {
            ActionSet set;
            for (size_t k = first; k < end; ++k) {
                set.members.push_back({members[k], SearchRootOf(searchDirs, members[k]), false});
            }
            batch.sets.push_back(std::move(set));
        }
        ActionMember& member = batch.sets[run->second].members[m - first];
        if (!listed.emplace(run->second, m - first).second) {
            batch.targets.push_back(std::move(target));  // the same file twice: once is enough
            continue;
        }
        // A protected file is refused when its turn comes; it stays, so it can be the
        // kept copy of the others.
        member.acted = !IsProtectedFile(batch.protectDirs, member.record);
        target.set = run->second;
        target.member = m - first;
        batch.targets.push_back(std::move(target));
    }
    return batch;
}

ScriptValue DeleteFiles(ActionWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                        PageBridge& bridge, const ScriptValue& rows) {
    return StartRun(worker, engine, history, bridge, rows, ActionKind::Delete);
}

ScriptValue TrashFiles(ActionWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                       PageBridge& bridge, const ScriptValue& rows) {
    return StartRun(worker, engine, history, bridge, rows, ActionKind::Trash);
}

ScriptValue LinkFiles(ActionWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                      PageBridge& bridge, const ScriptValue& rows) {
    return StartRun(worker, engine, history, bridge, rows, ActionKind::HardLink);
}

ScriptValue ReflinkFiles(ActionWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                         PageBridge& bridge, const ScriptValue& rows) {
    return StartRun(worker, engine, history, bridge, rows, ActionKind::Reflink);
}

bool MoveTargetAllowed(const std::string& folder, const std::vector<std::string>& searchDirs) {
    std::string slashed = FolderWithSlash(folder);
    platform::Folder open;
    if (platform::OpenFolder(slashed, open) != 0) return false;
    slashed.pop_back();
    if (slashed.empty()) slashed.push_back('/');  // the root folder
    for (const std::string& search : searchDirs) {
        if (PathWithin(slashed, search) || PathWithin(search, slashed)) return false;
    }
    return true;
}

ScriptValue MoveFiles(ActionWorker& worker, SearchEngine& engine, history::HistoryDb& history,
                      PageBridge& bridge, const ScriptValue& rows, const ScriptValue& folder) {
    const std::string target = folder.TextForm();
    if (engine.state.load() != W_READY || worker.State() != DELETE_IDLE) {
        return ScriptValue::Int(ACTION_BUSY);
    }
    if (target.empty() || !MoveTargetAllowed(target, engine.settings.searchDirs)) {
        return ScriptValue::Int(ACTION_BAD_TARGET);
    }
    return StartRun(worker, engine, history, bridge, rows, ActionKind::Move,
                    FolderWithSlash(target));
}

ScriptValue CanReflink(const ScriptValue& rows) {
    std::set<std::string> folders;
    for (size_t i = 0; i < rows.Count() && folders.size() < 64; ++i) {
        const std::string folder = rows.At(i).At(1).TextForm();
        if (platform::IsCanonicalFolder(folder)) folders.insert(folder);
    }
    for (const std::string& folder : folders) {
        if (!platform::CanCloneIn(folder)) return ScriptValue::Int(0);
    }
    return ScriptValue::Int(folders.empty() ? 0 : 1);
}

ScriptValue UndoTrash(ActionWorker& worker) {
    if (worker.State() != DELETE_IDLE) return ScriptValue::Int(ACTION_BUSY);
    const std::vector<platform::TrashPlace> places = worker.TakeTrashed();
    int32_t restored = 0;
    int32_t refused = 0;
    for (const platform::TrashPlace& place : places) {
        if (platform::RestoreFromTrash(place) == 0) {
            ++restored;
        } else {
            ++refused;
        }
    }
    return ScriptValue::List({ScriptValue::Int(restored), ScriptValue::Int(refused)});
}

ScriptValue StopDelFile(ActionWorker& worker) {
    worker.RequestStop();
    return ScriptValue::Int(0);
}

bool DeletionRunning(const ActionWorker& worker) { return worker.State() != DELETE_IDLE; }

}  // namespace merravine
