#include "history/scan_store.h"

#include "util/log.h"
#include "util/text.h"

namespace merravine::history {

namespace {

bool Exec(sqlite3* connection, const std::string& sql) {
    auto statement = Prepare(connection, sql);
    return statement && StepToDone(statement.get());
}

/// The folders in the storage form, joined by "|".
std::string JoinedSearchPath(const std::vector<std::string>& search_dirs) {
    std::string joined;
    for (size_t i = 0; i < search_dirs.size(); ++i) {
        if (i > 0) joined += '|';
        joined += ToBase64(search_dirs[i]);
    }
    return joined;
}

bool CreateFileTable(sqlite3* connection, int32_t id) {
    const std::string table = RecordTableName(id);
    // Removing every scan rebuilds the scan table, which restarts its ids; a file table
    // left behind by a scan no row names any more must not swallow the new scan's rows.
    return Exec(connection, "drop table if exists " + table) &&
           Exec(connection, "create table " + table +
                                " (filesize INTEGER, path TEXT, namenosuffix TEXT, suffix TEXT,"
                                " createtime TEXT, modifytime TEXT, accesstime TEXT,"
                                " filekey BLOB, filetype INTEGER)");
}

bool InsertRows(sqlite3* connection, int32_t id, const std::vector<ScanRow>& rows) {
    auto insert = Prepare(
        connection, "insert into " + RecordTableName(id) + " values (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!insert) return false;
    sqlite3_stmt* statement = insert.get();
    for (const ScanRow& row : rows) {
        sqlite3_reset(statement);
        const bool bound = sqlite3_bind_int64(statement, 1, row.filesize) == SQLITE_OK &&
                           BindText(statement, 2, ToBase64(row.path)) == SQLITE_OK &&
                           BindText(statement, 3, ToBase64(row.namenosuffix)) == SQLITE_OK &&
                           BindText(statement, 4, row.suffix) == SQLITE_OK &&
                           BindText(statement, 5, row.createtime) == SQLITE_OK &&
                           BindText(statement, 6, row.modifytime) == SQLITE_OK &&
                           BindText(statement, 7, row.accesstime) == SQLITE_OK &&
                           sqlite3_bind_blob64(statement, 8, row.filekey.data(), row.filekey.size(),
                                               SQLITE_TRANSIENT) == SQLITE_OK &&
                           sqlite3_bind_int(statement, 9, row.filetype) == SQLITE_OK;
        if (!bound || !StepToDone(statement)) return false;
    }
    // The purge after each deleted file looks rows up by these three columns.
    return Exec(connection, "create index idx_record" + std::to_string(id) + " on " +
                                RecordTableName(id) + " (path, namenosuffix, suffix)");
}

/// Removes the oldest scans until at most `historymax` remain.
bool TrimHistory(sqlite3* connection, int32_t historymax) {
    std::vector<int32_t> ids;
    {
        auto statement = Prepare(connection, "select id from tbl_searchrecode order by id");
        if (!statement) return false;
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
            ids.push_back(sqlite3_column_int(statement.get(), 0));
        }
        if (rc != SQLITE_DONE) return false;
    }
    auto remove_row = Prepare(connection, "delete from tbl_searchrecode where id=?");
    if (!remove_row) return false;
    for (size_t i = 0; i + static_cast<size_t>(historymax) < ids.size(); ++i) {
        sqlite3_reset(remove_row.get());
        if (sqlite3_bind_int(remove_row.get(), 1, ids[i]) != SQLITE_OK ||
            !StepToDone(remove_row.get()) ||
            !Exec(connection, "drop table if exists " + RecordTableName(ids[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

int32_t StoreScan(HistoryDb& db, const std::vector<std::string>& search_dirs,
                  const std::vector<ScanRow>& rows, int32_t historymax) {
    if (historymax < 1) return 0;
    std::lock_guard lock(db.mutex);
    db.purge_statements.clear();
    sqlite3* connection = db.connection.get();
    Transaction transaction(connection);
    if (!transaction.Began()) {
        LogDebug("Failed to store the scan!");
        return 0;
    }
    auto insert_scan = Prepare(connection, "insert into tbl_searchrecode (searchPath) values (?)");
    if (!insert_scan ||
        BindText(insert_scan.get(), 1, JoinedSearchPath(search_dirs)) != SQLITE_OK ||
        !StepToDone(insert_scan.get())) {
        LogDebug("Failed to store the scan!");
        return 0;
    }
    const auto id = static_cast<int32_t>(sqlite3_last_insert_rowid(connection));
    if (!CreateFileTable(connection, id) || !InsertRows(connection, id, rows) ||
        !TrimHistory(connection, historymax) || !transaction.Commit()) {
        LogDebug("Failed to store the scan!");
        return 0;
    }
    LogDebug("Stored scan %d with %zu files.", id, rows.size());
    return id;
}

}  // namespace merravine::history
