// Helpers shared by the history tests: rows of a made-up scan, and a second, raw
// connection to look at what the file holds.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

#include "history/history_db.h"

namespace merravine::testing {

using history::HistoryDb;
using history::ScanRow;

/// A row of a file of `size` bytes whose content key is `key` (padded to 32 bytes).
inline ScanRow MakeRow(const std::string& folder, const std::string& name,
                       const std::string& suffix, int64_t size, std::string key,
                       int32_t kind = 32) {
    key.resize(32, '\0');
    return ScanRow{size, folder, name, suffix, "1700000000", "1700000001", "1700000002", key, kind};
}

/// Runs `sql` on a fresh connection to `file` and returns the first column of every row.
inline std::vector<std::string> RawQuery(const std::string& file, const std::string& sql) {
    std::vector<std::string> values;
    sqlite3* connection = nullptr;
    if (sqlite3_open_v2(file.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                const auto* text = sqlite3_column_text(statement, 0);
                values.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
            }
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(connection);
    return values;
}

/// The names of the per-scan file tables in `file`, sorted.
inline std::vector<std::string> FileTables(const std::string& file) {
    return RawQuery(file,
                    "select name from sqlite_master where type='table' and name like 'tbl_record%'"
                    " order by name");
}

/// Every row of scan `id`, read through the history's own reader; `ok` says whether it could.
inline std::vector<ScanRow> ReadAll(HistoryDb& db, int32_t id, bool* ok = nullptr) {
    std::vector<ScanRow> rows;
    const Status result = history::ReadScanRows(db, id, [&](const ScanRow& row) {
        rows.push_back(row);
        return 0;
    });
    if (ok != nullptr) *ok = result.IsOk();
    return rows;
}

}  // namespace merravine::testing
