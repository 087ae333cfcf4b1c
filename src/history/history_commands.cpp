#include "history/history_commands.h"

#include <exception>
#include <mutex>

#include "history/scan_store.h"
#include "search/result_rows.h"
#include "util/log.h"

namespace merravine {

ScriptValue GetScanReord(history::HistoryDb& history) {
    std::vector<history::ScanEntry> scans;
    if (const Status listed = history::ListScans(history, scans); !listed.IsOk()) {
        LogDebug("%s", listed.Message().c_str());
    }
    ScriptValue result;
    for (const auto& scan : scans) {
        ScriptValue entry;
        entry.Append(ScriptValue::Int(scan.id));
        entry.Append(ScriptValue::Text(scan.searcTime));
        result.Append(std::move(entry));
    }
    return result;
}

ScriptValue DelOneRecord(history::HistoryDb& history, const ScriptValue& id) {
    const Status deleted = history::DeleteScan(history, id.IntOr(0));
    if (!deleted.IsOk()) LogDebug("%s", deleted.Message().c_str());
    return ScriptValue::Int(deleted.IsOk() ? 1 : 0);
}

ScriptValue DelAllRecord(history::HistoryDb& history, const ScriptValue& ids) {
    std::vector<int32_t> list;
    for (size_t i = 0; i < ids.Count(); ++i) list.push_back(ids.At(i).IntOr(0));
    const Status deleted = history::DeleteAllScans(history, list);
    if (!deleted.IsOk()) LogDebug("%s", deleted.Message().c_str());
    return ScriptValue::Int(deleted.IsOk() ? 1 : 0);
}

namespace {

ScriptValue LoadRecordUnguarded(SearchEngine& engine, history::HistoryDb& history,
                                PageBridge& bridge, const ScriptValue& id, bool deletion_running) {
    const int32_t scan_id = id.IntOr(0);
    if (scan_id == 0) return ScriptValue::Int(-1);
    if (deletion_running || engine.state.load() != W_READY)
        return ScriptValue::Int(kLoadRecordBusy);

    // The rows are read first and inserted afterwards, so the history's lock and the
    // groups' lock are never held together in this order (storing a scan takes them
    // the other way round).
    std::vector<history::ScanRow> rows;
    const Status read =
        history::ReadScanRows(history, scan_id, [&rows](const history::ScanRow& row) {
            rows.push_back(row);
            return 0;
        });
    int32_t loaded = 0;
    {
        const auto lock = engine.LockGroups();
        ClearResults(engine);
        engine.loadedRecordId.store(scan_id);
        if (!read.IsOk()) {
            LogDebug("%s", read.Message().c_str());
            return ScriptValue::Int(0);
        }
        for (const auto& row : rows) {
            FileRecord* record =
                AddToGroups(engine, row.path, row.namenosuffix, row.suffix, row.filetype,
                            static_cast<FileLen>(row.filesize), row.filekey);
            if (record == nullptr) continue;
            record->createTime = TimeFromText(row.createtime);
            record->modifyTime = TimeFromText(row.modifytime);
            record->accessTime = TimeFromText(row.accesstime);
        }
        for (const auto& group : engine.groups)
            loaded += static_cast<int32_t>(group.members.size());
    }
    engine.StartDelivery([&engine, &bridge]() { DeliverDuplicates(engine, bridge, KIND_ALL); });
    return ScriptValue::Int(loaded);
}

}  // namespace

ScriptValue LoadRecord(SearchEngine& engine, history::HistoryDb& history, PageBridge& bridge,
                       const ScriptValue& id, bool deletion_running) {
    try {
        return LoadRecordUnguarded(engine, history, bridge, id, deletion_running);
    } catch (const std::exception& error) {
        LogDebug("Loading a scan failed: %s", error.what());
        return ScriptValue::Int(0);
    }
}

int32_t StoreFinishedScan(const SearchEngine& engine, history::HistoryDb& history,
                          int32_t historymax) {
    std::vector<history::ScanRow> rows;
    const auto add_row = [&rows](const SizeGroup& group, const FileRecord& member) {
        rows.push_back(history::ScanRow{
            static_cast<int64_t>(group.size), member.path, member.namenosuffix, member.suffix,
            TimeText(member.createTime), TimeText(member.modifyTime), TimeText(member.accessTime),
            std::string(member.key.bytes.begin(), member.key.bytes.end()), member.kind});
    };
    for (const auto& group : engine.groups) {
        // Loading puts each row first among the rows of its key (and appends in the
        // group of empty files), so rows stored in this order load back in the order
        // the search left them.
        if (group.size == 0) {
            for (const auto& member : group.members) add_row(group, member);
        } else {
            for (auto member = group.members.rbegin(); member != group.members.rend(); ++member) {
                add_row(group, *member);
            }
        }
    }
    return history::StoreScan(history, engine.settings.searchDirs, rows, historymax);
}

void StoreEveryFinishedScan(SearchEngine& engine, history::HistoryDb& history) {
    engine.SetOnSearchFinished([&history](const SearchEngine& finished) {
        try {
            StoreFinishedScan(finished, history, finished.settings.historymax);
        } catch (const std::exception& error) {
            LogDebug("Failed to store the scan: %s", error.what());
        }
    });
}

}  // namespace merravine
