// Thin RAII wrapper over the system SQLite library, so storage code never touches the C API.
//
// Failure behaviour: nothing here throws. Opening returns null and fills `error`; statements report
// failures through their return values, and errorMessage() gives SQLite's text for logging.
// Thread-safety: one SqliteDatabase and its statements belong to one thread at a time (the callers'
// actors serialise access); different connections may be used from different threads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace lumidex::platform {

class SqliteStatement {
public:
    enum class Step { row, done, error };
    enum class ColumnType { integer, real, text, blob, null };

    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    // Parameter indexes start at 1, as in SQL. Returns false when the index is out of range.
    bool bind(int index, int64_t value);
    bool bind(int index, double value);
    bool bind(int index, std::string_view text);
    bool bindBlob(int index, std::span<const uint8_t> bytes);
    bool bindNull(int index);

    Step step();
    // Runs the statement to completion, ignoring rows; true when it finished without error.
    bool run();
    void reset();

    // Column indexes start at 0.
    bool isNull(int column) const;
    // The storage class of the column's value in the current row (no conversion happens).
    ColumnType typeAt(int column) const;
    int columnCount() const;
    std::string columnName(int column) const;
    int64_t int64At(int column) const;
    double doubleAt(int column) const;
    std::string textAt(int column) const;  // "" for NULL
    std::string_view textViewAt(int column) const;  // the same without a copy; valid until the next step or reset
    std::optional<std::string> optionalTextAt(int column) const;
    std::span<const uint8_t> blobAt(int column) const;  // valid until the next step or reset

    std::string errorMessage() const;

private:
    friend class SqliteDatabase;
    SqliteStatement(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
    sqlite3* db_;
    sqlite3_stmt* stmt_;
};

class SqliteDatabase {
public:
    // Opens (creating if missing) a read-write database. Returns null and sets `error` on failure.
    static std::unique_ptr<SqliteDatabase> open(const std::filesystem::path& path, std::string& error);
    // Opens an existing database read-write; a missing file is an error, not a new database.
    static std::unique_ptr<SqliteDatabase> openExisting(const std::filesystem::path& path, std::string& error);
    // Opens an existing database read-only (for stores owned by other programs).
    static std::unique_ptr<SqliteDatabase> openReadOnly(const std::filesystem::path& path, std::string& error);
    // Opens a "file:" URI read-only (its query may add "mode=ro" and the like); path() is then the URI.
    // On failure returns null, sets `error` and, when given, `resultCode` to SQLite's primary result
    // code (14 for "cannot open").
    static std::unique_ptr<SqliteDatabase> openReadOnlyUri(const std::string& uri, std::string& error,
                                                   int* resultCode = nullptr);

    ~SqliteDatabase();
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    void setBusyTimeout(int milliseconds);
    // Keeps the write-ahead log and its index file when the last connection closes, so that opening and
    // closing a database does not create and delete two files each time.
    void keepWriteAheadLogOnClose();
    // Executes one or more statements without results. Returns false and sets `error` on failure.
    bool exec(std::string_view sql, std::string& error);
    // Returns null and sets `error` when the statement cannot be prepared.
    std::unique_ptr<SqliteStatement> prepare(std::string_view sql, std::string& error);

    // Hands the cache pages no statement holds back to the allocator.
    void releaseMemory();
    int64_t changes() const;
    // Rows changed by every statement since the connection opened.
    int64_t totalChanges() const;
    int64_t lastInsertRowId() const;
    std::string errorMessage() const;
    const std::filesystem::path& path() const { return path_; }

private:
    SqliteDatabase(sqlite3* db, std::filesystem::path path) : db_(db), path_(std::move(path)) {}
    sqlite3* db_;
    std::filesystem::path path_;
};

// RAII transaction: BEGIN on construction, ROLLBACK on destruction unless commit() succeeded.
class SqliteTransaction {
public:
    explicit SqliteTransaction(SqliteDatabase& db);
    ~SqliteTransaction();
    SqliteTransaction(const SqliteTransaction&) = delete;
    SqliteTransaction& operator=(const SqliteTransaction&) = delete;

    bool began() const { return began_; }
    const std::string& error() const { return error_; }
    // Returns false (and keeps the error) when BEGIN or COMMIT failed; the destructor then rolls back.
    bool commit();

private:
    SqliteDatabase& db_;
    bool began_ = false;
    bool done_ = false;
    std::string error_;
};

}  // namespace lumidex::platform
