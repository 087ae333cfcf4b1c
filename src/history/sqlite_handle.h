// Owning handles for the SQLite connection and its statements, and a transaction
// guard that rolls back unless it was committed. Every statement text built here
// holds no value: values are bound; only table names made from integers are put
// into statement texts.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace merravine::history {

struct ConnectionCloser {
    void operator()(sqlite3* connection) const { sqlite3_close_v2(connection); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

using ConnectionHandle = std::unique_ptr<sqlite3, ConnectionCloser>;
using StatementHandle = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

/// Prepares one statement; null when the text does not compile (for example a missing table).
StatementHandle Prepare(sqlite3* connection, std::string_view sql);

/// Runs a statement text that takes no values and returns no rows; the SQLite result code.
int ExecPlain(sqlite3* connection, const char* sql);

/// Binds a text value (the bytes as given) to the 1-based parameter `index`.
int BindText(sqlite3_stmt* statement, int index, std::string_view text);

/// Runs a prepared statement that returns no rows to its end; true on SQLITE_DONE.
bool StepToDone(sqlite3_stmt* statement);

/// A column's text as bytes; empty for NULL or a column past the end.
std::string ColumnText(sqlite3_stmt* statement, int column);


/// The name of one stored scan's file table: "tbl_record" and the id in decimal.
std::string RecordTableName(int32_t id);

/// One write transaction on a connection, rolled back on destruction unless committed.
class Transaction {
  public:
    explicit Transaction(sqlite3* connection);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    /// True when the transaction could be begun.
    bool Began() const { return began_; }
    /// Ends the transaction, keeping its changes; false when that fails (it is then rolled back).
    bool Commit();

  private:
    sqlite3* connection_;
    bool began_ = false;
    bool finished_ = false;
};

}  // namespace merravine::history
