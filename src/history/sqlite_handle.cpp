#include "history/sqlite_handle.h"

#include <limits>

namespace merravine::history {

StatementHandle Prepare(sqlite3* connection, std::string_view sql) {
    sqlite3_stmt* statement = nullptr;
    if (connection == nullptr) return StatementHandle();
    const int rc = sqlite3_prepare_v2(connection, sql.data(), static_cast<int>(sql.size()),
                                      &statement, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(statement);
        return StatementHandle();
    }
    return StatementHandle(statement);
}

int ExecPlain(sqlite3* connection, const char* sql) {
    if (connection == nullptr) return SQLITE_MISUSE;
    return sqlite3_exec(connection, sql, nullptr, nullptr, nullptr);
}

int BindText(sqlite3_stmt* statement, int index, std::string_view text) {
    return sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT,
                               SQLITE_UTF8);
}

bool StepToDone(sqlite3_stmt* statement) {
    int rc = SQLITE_ROW;
    while (rc == SQLITE_ROW) rc = sqlite3_step(statement);
    return rc == SQLITE_DONE;
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
    if (column >= sqlite3_column_count(statement)) return std::string();
    const auto* text = sqlite3_column_text(statement, column);
    if (text == nullptr) return std::string();
    const int bytes = sqlite3_column_bytes(statement, column);
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(bytes));
}

std::string RecordTableName(int32_t id) { return "tbl_record" + std::to_string(id); }

Transaction::Transaction(sqlite3* connection) : connection_(connection) {
    // IMMEDIATE takes the write lock at once, so a transaction never fails halfway
    // for want of a lock that another process holds.
    began_ = ExecPlain(connection_, "BEGIN IMMEDIATE TRANSACTION;") == SQLITE_OK;
}

Transaction::~Transaction() {
    if (began_ && !finished_) ExecPlain(connection_, "ROLLBACK TRANSACTION;");
}

bool Transaction::Commit() {
    if (!began_ || finished_) return false;
    if (ExecPlain(connection_, "END TRANSACTION;") != SQLITE_OK) return false;
    finished_ = true;
    return true;
}

}  // namespace merravine::history
