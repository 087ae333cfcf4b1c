// The history database operations. Each write operation runs in one transaction
// that a guard rolls back on every failure path; values are always bound.
#include "history/history_db.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "platform/atomic_file.h"
#include "util/log.h"
#include "util/text.h"

namespace merravine::history {

namespace {

constexpr size_t kKeyBytes = 32;

/// The ids of every stored scan, in id order; false when the query fails.
bool CollectScanIds(sqlite3* connection, std::vector<int32_t>& ids) {
    auto statement = Prepare(connection, "select id from tbl_searchrecode order by id");
    if (!statement) return false;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
        ids.push_back(static_cast<int32_t>(LeadingInt64(ColumnText(statement.get(), 0))));
    }
    return rc == SQLITE_DONE;
}

bool ExecStatement(sqlite3* connection, const std::string& sql) {
    auto statement = Prepare(connection, sql);
    return statement && StepToDone(statement.get());
}

/// The cached, reset purge statement of scan `id`; null when it does not compile.
sqlite3_stmt* PurgeStatement(HistoryDb& db, int32_t id) {
    auto found = db.purge_statements.find(id);
    if (found == db.purge_statements.end()) {
        auto statement =
            Prepare(db.connection.get(), "delete from " + RecordTableName(id) +
                                             " where (path=? and namenosuffix=? and suffix=?)");
        if (!statement) return nullptr;
        found = db.purge_statements.emplace(id, std::move(statement)).first;
    }
    sqlite3_reset(found->second.get());
    sqlite3_clear_bindings(found->second.get());
    return found->second.get();
}

ScanRow ReadRow(sqlite3_stmt* statement) {
    ScanRow row;
    row.filesize = LeadingInt64(ColumnText(statement, 0));
    row.path = FromBase64(ColumnText(statement, 1));
    row.namenosuffix = FromBase64(ColumnText(statement, 2));
    row.suffix = ColumnText(statement, 3);
    row.createtime = ColumnText(statement, 4);
    row.modifytime = ColumnText(statement, 5);
    row.accesstime = ColumnText(statement, 6);
    // The key may hold any bytes (a short file's content is its own key), so it is
    // read by length, never up to a zero byte.
    row.filekey.assign(kKeyBytes, '\0');
    if (sqlite3_column_count(statement) > 7) {
        const void* key = sqlite3_column_blob(statement, 7);
        const auto bytes = static_cast<size_t>(sqlite3_column_bytes(statement, 7));
        if (key != nullptr) std::memcpy(row.filekey.data(), key, std::min(bytes, kKeyBytes));
    }
    row.filetype = static_cast<int32_t>(LeadingInt64(ColumnText(statement, 8)));
    return row;
}

}  // namespace

namespace {

// A file name as an SQLite URI path: '%', '?' and '#' (and bytes that are not
// printable ASCII) percent-encoded.
std::string UriPath(const std::string& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || c == '%' || c == '?' || c == '#') {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

// Reading a file in write-ahead mode needs its -shm file, which a read-only folder
// cannot hold; the file is then opened as immutable, for reading only.
ConnectionHandle OpenReadOnly(const std::string& file_path) {
    sqlite3* connection = nullptr;
    const std::string uri = "file:" + UriPath(file_path) + "?immutable=1";
    const int rc =
        sqlite3_open_v2(uri.c_str(), &connection,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_FULLMUTEX, nullptr);
    ConnectionHandle handle(connection);
    if (rc != SQLITE_OK) return ConnectionHandle(nullptr);
    LogDebug("the history file cannot be written; it is read only for this run");
    return handle;
}

bool Readable(sqlite3* connection) {
    return ExecPlain(connection, "select count(*) from sqlite_master;") == SQLITE_OK;
}

void OpenConnection(HistoryDb& db, const std::string& data_folder) {
    std::lock_guard lock(db.mutex);
    db.purge_statements.clear();
    db.connection.reset();
    db.file_path = data_folder + "/duplicate.db";
    // The data folder may not exist yet on a first start.
    std::error_code ignored;
    std::filesystem::create_directories(data_folder, ignored);
    if (sqlite3_initialize() != SQLITE_OK) return;
    // The scans name the user's files: the file is the user's alone. SQLite gives its
    // -wal and -shm files the same mode.
    platform::CreatePrivateFile(db.file_path);
    sqlite3* connection = nullptr;
    const int rc = sqlite3_open_v2(
        db.file_path.c_str(), &connection,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    ConnectionHandle handle(connection);
    if (rc != SQLITE_OK || sqlite3_db_readonly(connection, "main") == 1 || !Readable(connection)) {
        handle.reset();
        db.connection = OpenReadOnly(db.file_path);
        return;
    }
    // Another instance may hold the write lock for a moment; wait instead of failing.
    sqlite3_busy_timeout(connection, 5000);
    // Write-ahead logging keeps every committed transaction whole after a crash, and
    // with synchronous=NORMAL a commit costs no flush to disk, which keeps the purge
    // after each deleted file cheap.
    // Small pages keep the few rows a purge changes in each scan table cheap to log;
    // this takes effect only for a file that is new.
    ExecPlain(connection, "PRAGMA page_size=1024;");
    ExecPlain(connection, "PRAGMA journal_mode=WAL;");
    ExecPlain(connection, "PRAGMA synchronous=NORMAL;");
    // Purging a file touches a few pages of every stored scan; a larger cache and
    // fewer, larger checkpoints (each one flushes to disk) keep that cheap.
    ExecPlain(connection, "PRAGMA cache_size=-32768;");
    ExecPlain(connection, "PRAGMA wal_autocheckpoint=20000;");
    ExecPlain(connection, "PRAGMA journal_size_limit=4194304;");
    ExecPlain(connection, kCreateScanTable);
    ExecPlain(connection, kCreatePendingPurgeTable);
    db.connection = std::move(handle);
}

Status Refused(std::string what) { return Status::Failure(StatusCode::kIoFailed, std::move(what)); }

// The noted files (NotePendingPurges) that are gone from the disk leave every scan.
void ReplayPendingPurges(HistoryDb& db) {
    std::vector<StoredFileName> gone;
    {
        std::lock_guard lock(db.mutex);
        auto statement =
            Prepare(db.connection.get(), "select path, namenosuffix, suffix from tbl_pendingpurge");
        if (!statement) return;
        while (sqlite3_step(statement.get()) == SQLITE_ROW) {
            StoredFileName file{FromBase64(ColumnText(statement.get(), 0)),
                                FromBase64(ColumnText(statement.get(), 1)),
                                ColumnText(statement.get(), 2)};
            std::error_code error;
            const auto status =
                std::filesystem::symlink_status(file.path + file.namenosuffix + file.suffix, error);
            if (status.type() == std::filesystem::file_type::not_found)
                gone.push_back(std::move(file));
        }
    }
    if (!gone.empty()) {
        LogDebug("purging %zu deleted file(s) that an interrupted deletion left in the scans",
                 gone.size());
        if (!PurgeFilesFromHistory(db, gone).IsOk()) return;
    }
    if (const Status cleared = ClearPendingPurges(db); !cleared.IsOk()) {
        LogDebug("%s", cleared.Message().c_str());
    }
}

}  // namespace

void OpenHistoryDb(HistoryDb& db, const std::string& data_folder) {
    OpenConnection(db, data_folder);
    if (db.connection) ReplayPendingPurges(db);
}

Status ListScans(HistoryDb& db, std::vector<ScanEntry>& scans) {
    std::lock_guard lock(db.mutex);
    auto statement = Prepare(db.connection.get(), "select * from tbl_searchrecode");
    if (!statement) return Refused("the stored scans could not be listed");
    const bool wide_enough = sqlite3_column_count(statement.get()) >= 3;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
        if (!wide_enough) continue;
        scans.push_back(
            ScanEntry{static_cast<int32_t>(LeadingInt64(ColumnText(statement.get(), 0))),
                      ColumnText(statement.get(), 1)});
    }
    return rc == SQLITE_DONE ? Status::Ok() : Refused("the stored scans could not be listed");
}

Status DeleteScan(HistoryDb& db, int32_t id) {
    std::lock_guard lock(db.mutex);
    db.purge_statements.clear();
    sqlite3* connection = db.connection.get();
    Transaction transaction(connection);
    auto remove_row = Prepare(connection, "delete from tbl_searchrecode where id=?");
    if (!remove_row || sqlite3_bind_int(remove_row.get(), 1, id) != SQLITE_OK ||
        !StepToDone(remove_row.get())) {
        LogDebug("Failed to delete the scan record %d!", id);
        return Refused("the row of scan " + std::to_string(id) + " could not be deleted");
    }
    if (!ExecStatement(connection, "drop table " + RecordTableName(id))) {
        return Refused("the file table of scan " + std::to_string(id) + " could not be dropped");
    }
    if (!transaction.Commit()) return Refused("deleting scan " + std::to_string(id) + " failed");
    return Status::Ok();
}

Status DeleteAllScans(HistoryDb& db, const std::vector<int32_t>& ids) {
    std::lock_guard lock(db.mutex);
    db.purge_statements.clear();
    sqlite3* connection = db.connection.get();
    Transaction transaction(connection);
    for (const int32_t id : ids) {
        if (!ExecStatement(connection, "drop table " + RecordTableName(id))) {
            LogDebug("Failed to delete child table!");
        }
    }
    if (ExecPlain(connection, "drop table tbl_searchrecode") != SQLITE_OK) {
        LogDebug("Failed to delete table!");
        return Refused("the table of stored scans could not be dropped");
    }
    if (ExecPlain(connection, kCreateScanTable) != SQLITE_OK) {
        LogDebug("Failed to rebuild the table!");
        return Refused("the table of stored scans could not be created again");
    }
    if (!transaction.Commit()) return Refused("deleting every scan failed");
    return Status::Ok();
}

Status ReadScanRows(HistoryDb& db, int32_t id, const std::function<int(const ScanRow&)>& handler) {
    std::lock_guard lock(db.mutex);
    sqlite3* connection = db.connection.get();
    const auto failed = [id](int rc) {
        return Refused("scan " + std::to_string(id) + " could not be read: " + sqlite3_errstr(rc));
    };
    if (connection == nullptr) return failed(SQLITE_CANTOPEN);
    auto statement = Prepare(connection, "select * from " + RecordTableName(id));
    if (!statement) return failed(sqlite3_errcode(connection));
    const bool wide_enough = sqlite3_column_count(statement.get()) >= 3;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
        if (!wide_enough) continue;
        if (handler(ReadRow(statement.get())) != 0) return failed(SQLITE_ABORT);
    }
    return rc == SQLITE_DONE ? Status::Ok() : failed(rc);
}

Status PurgeFilesFromHistory(HistoryDb& db, const std::vector<StoredFileName>& files) {
    std::lock_guard lock(db.mutex);
    sqlite3* connection = db.connection.get();
    std::vector<int32_t> ids;
    if (!CollectScanIds(connection, ids)) {
        LogDebug("Refresh failed!");
        return Refused("the deleted files could not be taken out of the stored scans");
    }
    Transaction transaction(connection);
    auto unnote = Prepare(
        connection, "delete from tbl_pendingpurge where path=? and namenosuffix=? and suffix=?");
    for (const StoredFileName& file : files) {
        const std::string stored_path = ToBase64(file.path);
        const std::string stored_name = ToBase64(file.namenosuffix);
        if (unnote && (BindText(unnote.get(), 1, stored_path) != SQLITE_OK ||
                       BindText(unnote.get(), 2, stored_name) != SQLITE_OK ||
                       BindText(unnote.get(), 3, file.suffix) != SQLITE_OK ||
                       !StepToDone(unnote.get()) || sqlite3_reset(unnote.get()) != SQLITE_OK)) {
            LogDebug("Refresh failed!");
            return Refused("the deleted files could not be taken out of the stored scans");
        }
        for (const int32_t id : ids) {
            sqlite3_stmt* statement = PurgeStatement(db, id);
            if (statement == nullptr || BindText(statement, 1, stored_path) != SQLITE_OK ||
                BindText(statement, 2, stored_name) != SQLITE_OK ||
                BindText(statement, 3, file.suffix) != SQLITE_OK || !StepToDone(statement) ||
                sqlite3_reset(statement) != SQLITE_OK) {
                LogDebug("Refresh failed!");
                // The rows already removed stay removed: each deletion is whole.
                transaction.Commit();
                return Refused("the deleted files could not be taken out of the stored scans");
            }
        }
    }
    if (!transaction.Commit()) {
        LogDebug("Refresh failed!");
        return Refused("the deleted files could not be taken out of the stored scans");
    }
    return Status::Ok();
}

Status NotePendingPurges(HistoryDb& db, const std::vector<StoredFileName>& files) {
    std::lock_guard lock(db.mutex);
    sqlite3* connection = db.connection.get();
    Transaction transaction(connection);
    auto note = Prepare(connection,
                        "insert into tbl_pendingpurge(path, namenosuffix, suffix) values(?,?,?)");
    if (!note) return Refused("the files about to be deleted could not be noted");
    for (const StoredFileName& file : files) {
        if (BindText(note.get(), 1, ToBase64(file.path)) != SQLITE_OK ||
            BindText(note.get(), 2, ToBase64(file.namenosuffix)) != SQLITE_OK ||
            BindText(note.get(), 3, file.suffix) != SQLITE_OK || !StepToDone(note.get()) ||
            sqlite3_reset(note.get()) != SQLITE_OK) {
            return Refused("the files about to be deleted could not be noted");
        }
    }
    return transaction.Commit() ? Status::Ok()
                                : Refused("the files about to be deleted could not be noted");
}

Status ClearPendingPurges(HistoryDb& db) {
    std::lock_guard lock(db.mutex);
    return ExecPlain(db.connection.get(), "delete from tbl_pendingpurge;") == SQLITE_OK
               ? Status::Ok()
               : Refused("the noted files could not be forgotten");
}

Status PurgeFileFromHistory(HistoryDb& db, std::string_view path, std::string_view namenosuffix,
                            std::string_view suffix) {
    return PurgeFilesFromHistory(
        db, {StoredFileName{std::string(path), std::string(namenosuffix), std::string(suffix)}});
}

}  // namespace merravine::history
