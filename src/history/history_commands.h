// The history commands as the dispatcher calls them, and the hook that stores every
// finished search. All commands run on the UI thread and answer at once; only
// LoadRecord starts a thread (the delivery of the loaded rows).
#pragma once

#include <cstdint>

#include "history/history_db.h"
#include "search/search_engine.h"
#include "util/page_bridge.h"
#include "util/script_value.h"

namespace merravine {

/// LoadRecord's answer while a search or a deletion runs (nothing is changed then).
inline constexpr int32_t kLoadRecordBusy = -2;

/// [[id, searcTime], ...] in id order; the undefined value when no scan is stored.
ScriptValue GetScanReord(history::HistoryDb& history);

/// Deletes scan `id` (an integer, else 0): 1 done, 0 failed.
ScriptValue DelOneRecord(history::HistoryDb& history, const ScriptValue& id);

/// Drops the file tables of the ids in the array and rebuilds the scan table: 1 done, 0 failed.
ScriptValue DelAllRecord(history::HistoryDb& history, const ScriptValue& ids);

/// Replaces the results by stored scan `id` and delivers all kinds to the page: the
/// number of files loaded; 0 when the scan cannot be read (the results are then empty);
/// -1 for a missing or zero id; kLoadRecordBusy while a search or `deletion_running`.
ScriptValue LoadRecord(SearchEngine& engine, history::HistoryDb& history, PageBridge& bridge,
                       const ScriptValue& id, bool deletion_running);

/// Stores the engine's (pruned) result groups as one scan of its search folders.
/// The caller holds the groups lock. Returns the new id, or 0 when nothing was stored.
int32_t StoreFinishedScan(const SearchEngine& engine, history::HistoryDb& history,
                          int32_t historymax);

/// Makes every search that finishes without an abort store its scan, keeping at most
/// the settings' `historymax` scans.
void StoreEveryFinishedScan(SearchEngine& engine, history::HistoryDb& history);

}  // namespace merravine
