#include <sqlite3.h>

#include <mutex>

#include "platform/sqlite.h"

namespace lumidex::platform {

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

bool SqliteStatement::bind(int index, int64_t value) {
    return sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
}
bool SqliteStatement::bind(int index, double value) {
    return sqlite3_bind_double(stmt_, index, value) == SQLITE_OK;
}
bool SqliteStatement::bind(int index, std::string_view text) {
    return sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8) == SQLITE_OK;
}
bool SqliteStatement::bindBlob(int index, std::span<const uint8_t> bytes) {
    // A zero-length blob is still a blob, not NULL: SQLite needs a non-null pointer for that.
    static const uint8_t empty = 0;
    return sqlite3_bind_blob64(stmt_, index, bytes.empty() ? &empty : bytes.data(), bytes.size(),
                               SQLITE_TRANSIENT) == SQLITE_OK;
}
bool SqliteStatement::bindNull(int index) { return sqlite3_bind_null(stmt_, index) == SQLITE_OK; }

SqliteStatement::Step SqliteStatement::step() {
    switch (sqlite3_step(stmt_)) {
        case SQLITE_ROW: return Step::row;
        case SQLITE_DONE: return Step::done;
        default: return Step::error;
    }
}

bool SqliteStatement::run() {
    Step s;
    while ((s = step()) == Step::row) {
    }
    return s == Step::done;
}

void SqliteStatement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

bool SqliteStatement::isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

SqliteStatement::ColumnType SqliteStatement::typeAt(int column) const {
    switch (sqlite3_column_type(stmt_, column)) {
        case SQLITE_INTEGER: return ColumnType::integer;
        case SQLITE_FLOAT: return ColumnType::real;
        case SQLITE_TEXT: return ColumnType::text;
        case SQLITE_BLOB: return ColumnType::blob;
        default: return ColumnType::null;
    }
}

int SqliteStatement::columnCount() const { return sqlite3_column_count(stmt_); }

std::string SqliteStatement::columnName(int column) const {
    const char* name = sqlite3_column_name(stmt_, column);
    return name != nullptr ? name : "";
}
int64_t SqliteStatement::int64At(int column) const { return sqlite3_column_int64(stmt_, column); }
double SqliteStatement::doubleAt(int column) const { return sqlite3_column_double(stmt_, column); }

std::string SqliteStatement::textAt(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    if (text == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}

std::string_view SqliteStatement::textViewAt(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    if (text == nullptr) return {};
    return {reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt_, column))};
}

std::optional<std::string> SqliteStatement::optionalTextAt(int column) const {
    if (isNull(column)) return std::nullopt;
    return textAt(column);
}

std::span<const uint8_t> SqliteStatement::blobAt(int column) const {
    const void* blob = sqlite3_column_blob(stmt_, column);
    if (blob == nullptr) return {};
    return {static_cast<const uint8_t*>(blob), static_cast<size_t>(sqlite3_column_bytes(stmt_, column))};
}

std::string SqliteStatement::errorMessage() const { return sqlite3_errmsg(db_); }

namespace {

// Memory statistics make every SQLite allocation take one process-wide lock; with shards searched on
// several threads at once that lock is the main cost. Every connection would also set up 20 pages of
// cache at once, touching memory a search of a few pages never uses (a search opens 20 shards or
// more). Must run before SQLite initialises itself.
void configureLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
    });
}

std::unique_ptr<sqlite3, int (*)(sqlite3*)> openWithFlags(const char* name, int flags, std::string& error,
                                                          int* resultCode = nullptr) {
    configureLibraryOnce();
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(name, &raw, flags, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close_v2);
    if (rc != SQLITE_OK) {
        error = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
        if (resultCode != nullptr) *resultCode = rc & 0xff;
        db.reset();
        return db;
    }
    sqlite3_extended_result_codes(raw, 1);
    return db;
}

}  // namespace

std::unique_ptr<SqliteDatabase> SqliteDatabase::open(const std::filesystem::path& path, std::string& error) {
    auto db = openWithFlags(path.c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, error);
    if (!db) return nullptr;
    return std::unique_ptr<SqliteDatabase>(new SqliteDatabase(db.release(), path));
}

std::unique_ptr<SqliteDatabase> SqliteDatabase::openExisting(const std::filesystem::path& path, std::string& error) {
    auto db = openWithFlags(path.c_str(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, error);
    if (!db) return nullptr;
    return std::unique_ptr<SqliteDatabase>(new SqliteDatabase(db.release(), path));
}

std::unique_ptr<SqliteDatabase> SqliteDatabase::openReadOnly(const std::filesystem::path& path, std::string& error) {
    auto db = openWithFlags(path.c_str(), SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, error);
    if (!db) return nullptr;
    return std::unique_ptr<SqliteDatabase>(new SqliteDatabase(db.release(), path));
}

std::unique_ptr<SqliteDatabase> SqliteDatabase::openReadOnlyUri(const std::string& uri, std::string& error, int* resultCode) {
    auto db = openWithFlags(uri.c_str(), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, error, resultCode);
    if (!db) return nullptr;
    return std::unique_ptr<SqliteDatabase>(new SqliteDatabase(db.release(), uri));
}

SqliteDatabase::~SqliteDatabase() { sqlite3_close_v2(db_); }

void SqliteDatabase::setBusyTimeout(int milliseconds) { sqlite3_busy_timeout(db_, milliseconds); }

void SqliteDatabase::releaseMemory() { sqlite3_db_release_memory(db_); }

void SqliteDatabase::keepWriteAheadLogOnClose() {
    int persist = 1;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
}

bool SqliteDatabase::exec(std::string_view sql, std::string& error) {
    char* message = nullptr;
    const std::string text(sql);
    if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

std::unique_ptr<SqliteStatement> SqliteDatabase::prepare(std::string_view sql, std::string& error) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr) != SQLITE_OK ||
        stmt == nullptr) {
        error = sqlite3_errmsg(db_);
        sqlite3_finalize(stmt);
        return nullptr;
    }
    return std::unique_ptr<SqliteStatement>(new SqliteStatement(db_, stmt));
}

int64_t SqliteDatabase::changes() const { return sqlite3_changes64(db_); }
int64_t SqliteDatabase::totalChanges() const { return sqlite3_total_changes64(db_); }
int64_t SqliteDatabase::lastInsertRowId() const { return sqlite3_last_insert_rowid(db_); }
std::string SqliteDatabase::errorMessage() const { return sqlite3_errmsg(db_); }

SqliteTransaction::SqliteTransaction(SqliteDatabase& db) : db_(db) { began_ = db_.exec("BEGIN", error_); }

SqliteTransaction::~SqliteTransaction() {
    if (began_ && !done_) {
        std::string ignored;
        db_.exec("ROLLBACK", ignored);
    }
}

bool SqliteTransaction::commit() {
    if (!began_ || done_) return false;
    if (!db_.exec("COMMIT", error_)) return false;
    done_ = true;
    return true;
}

}  // namespace lumidex::platform
