// Storing a finished scan: one row in tbl_searchrecode and one file table holding
// every file of the scan's duplicate groups, written in one transaction, so that
// after a crash a scan is either there whole or not at all. At most `historymax`
// scans are kept; the oldest go first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "history/history_db.h"

namespace merravine::history {

/// Stores one scan of `search_dirs` holding `rows`; returns its id, or 0 when nothing was
/// stored (`historymax` below 1, or a database failure, after which the file is unchanged).
int32_t StoreScan(HistoryDb& db, const std::vector<std::string>& search_dirs,
                  const std::vector<ScanRow>& rows, int32_t historymax);

}  // namespace merravine::history
