// The scan history: one SQLite file, "duplicate.db" in the data folder, holding the
// table of stored scans (tbl_searchrecode) and one file table per scan
// (tbl_record<id>, nine columns, the folder and name in the storage form).
//
// One connection serves the whole process, opened at start in SQLite's serialized
// mode. The UI thread (history commands, storing a finished scan) and the delete
// thread (purging deleted files) share it. A transaction belongs to the connection,
// not to a thread, so `mutex` is held for every whole operation: the statements of
// two operations never interleave inside one transaction.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "history/sqlite_handle.h"
#include "util/result.h"

namespace merravine::history {

/// The exact statement that creates the scan table.
inline constexpr const char kCreateScanTable[] =
    "create table if not exists tbl_searchrecode (\t\t\tid integer primary key autoincrement,"
    "\t\t\t\t\t\t\tsearcTime TIMESTAMP default (datetime('now', 'localtime')),\t\tsearchPath "
    "TEXT);";

/// The files a running deletion is about to remove (NotePendingPurges), in storage form.
inline constexpr const char kCreatePendingPurgeTable[] =
    "create table if not exists tbl_pendingpurge (path TEXT, namenosuffix TEXT, suffix TEXT);";

/// The process's one connection to "duplicate.db".
struct HistoryDb {
    std::mutex mutex;             ///< held for each whole operation
    ConnectionHandle connection;  ///< null when the file could not be opened
    std::string file_path;        ///< full path of the database file
    /// The purge statement of each scan's file table, prepared once; emptied whenever
    /// tables are created or dropped. Declared after the connection: finalized first.
    std::map<int32_t, StatementHandle> purge_statements;
};

/// One stored scan as listed.
struct ScanEntry {
    int32_t id = 0;
    std::string searcTime;
    bool operator==(const ScanEntry&) const = default;
};

/// One file of a stored scan, with the folder and name already out of the storage form.
struct ScanRow {
    int64_t filesize = 0;
    std::string path;          ///< folder, ending in the separator
    std::string namenosuffix;  ///< name up to and including its last '.'
    std::string suffix;
    std::string createtime;
    std::string modifytime;
    std::string accesstime;
    std::string filekey;  ///< the content key, 32 bytes (zero-filled when stored shorter)
    int32_t filetype = 0;
    bool operator==(const ScanRow&) const = default;
};

/// Opens (creating it, mode 0600, and its folder when missing) "duplicate.db" in
/// `data_folder`, creates the scan table and purges the files a killed deletion had
/// removed (NotePendingPurges). A file that cannot be written (a read-only folder) is
/// opened for reading only. The connection stays null when the file cannot be opened;
/// every operation then fails.
void OpenHistoryDb(HistoryDb& db, const std::string& data_folder);

// Each operation below answers a Status: ok, or kIoFailed with what the database refused.

/// Lists the stored scans in id order.
Status ListScans(HistoryDb& db, std::vector<ScanEntry>& scans);

/// Deletes one scan's row and file table in one transaction; nothing is changed on a
/// failure (the message says whether the row or the file table could not go).
Status DeleteScan(HistoryDb& db, int32_t id);

/// Drops the file tables of `ids` and then the scan table, and creates it again, in one
/// transaction.
Status DeleteAllScans(HistoryDb& db, const std::vector<int32_t>& ids);

/// Passes each row of scan `id` to `handler` (which returns 0 to go on). Fails when the
/// scan has no file table, the database cannot be read, or the handler stopped the reading.
Status ReadScanRows(HistoryDb& db, int32_t id, const std::function<int(const ScanRow&)>& handler);

/// A file as the scans store it: folder (ending in "/"), name up to its suffix, suffix.
struct StoredFileName {
    std::string path;
    std::string namenosuffix;
    std::string suffix;
};

/// Removes these files' rows from every stored scan, in one transaction (a commit per
/// file would cost a write of every scan's changed pages per file).
Status PurgeFilesFromHistory(HistoryDb& db, const std::vector<StoredFileName>& files);

/// Notes, in one transaction, the files a deletion is about to remove. A purge takes
/// its files off the note in its own transaction, so that a process killed between a
/// file's removal and its purge leaves the file noted; the next OpenHistoryDb purges
/// every noted file that is gone.
Status NotePendingPurges(HistoryDb& db, const std::vector<StoredFileName>& files);

/// Forgets every noted file (a deletion run is over).
Status ClearPendingPurges(HistoryDb& db);

/// PurgeFilesFromHistory for one file.
Status PurgeFileFromHistory(HistoryDb& db, std::string_view path, std::string_view namenosuffix,
                            std::string_view suffix);

}  // namespace merravine::history
