#include "mail/mail_fts.h"

#include <system_error>

#include "core/app_log.h"
#include "mail/mail_fts_query.h"
#include "mail/mail_fts_sql.h"
#include "platform/paths.h"
#include "platform/sqlite.h"
#include "platform/unicode.h"

namespace lumidex::mail {

using platform::SqliteDatabase;
using platform::SqliteStatement;
using ColumnType = SqliteStatement::ColumnType;

namespace {

// Only content is ever searched, so the other columns are kept out of the full-text index. unicode61
// folds case and diacritics the same way for stored text and query words.
constexpr const char* kCreateFtsSql =
    "CREATE VIRTUAL TABLE IF NOT EXISTS mailFtsVirtualTable USING fts4("
    "externalId, subject, sender, mailbox, dateSent, dateReceived, contentHash, content, "
    "notindexed=externalId, notindexed=subject, notindexed=sender, notindexed=mailbox, notindexed=dateSent, "
    "notindexed=dateReceived, notindexed=contentHash, tokenize=unicode61)";

constexpr const char* kCreateBookkeepingSql =
    "CREATE TABLE IF NOT EXISTS mailFtsMeta (\n"
    "    externalId TEXT PRIMARY KEY,\n"
    "    indexStatus TEXT NOT NULL,\n"
    "    attemptCount INTEGER NOT NULL DEFAULT 0,\n"
    "    emlxMtime REAL,\n"
    "    lastAttemptedAt REAL NOT NULL,\n"
    "    errorReason TEXT,\n"
    "    envelopeRowid INTEGER\n"
    ");\n"
    "CREATE INDEX IF NOT EXISTS idx_meta_status ON mailFtsMeta(indexStatus, attemptCount);\n"
    "CREATE INDEX IF NOT EXISTS idx_meta_envelopeRowid ON mailFtsMeta(envelopeRowid);\n"
    "CREATE TABLE IF NOT EXISTS mailFtsCopies (\n"
    "    envelopeRowid INTEGER PRIMARY KEY,\n"
    "    externalId TEXT NOT NULL,\n"
    "    mailbox TEXT,\n"
    "    lastSeenAt REAL NOT NULL,\n"
    "    resolved INTEGER NOT NULL DEFAULT 0\n"
    ");\n"
    "CREATE INDEX IF NOT EXISTS idx_copies_externalId ON mailFtsCopies(externalId);\n"
    "CREATE TABLE IF NOT EXISTS mailFtsIndexState (\n"
    "    id INTEGER PRIMARY KEY CHECK(id=0),\n"
    "    fingerprintHi INTEGER,\n"
    "    fingerprintLo INTEGER,\n"
    "    fullyCovered INTEGER NOT NULL DEFAULT 0,\n"
    "    dbVersion TEXT,\n"
    "    updatedAt REAL\n"
    ");";

constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kMailboxExpression =
    "COALESCE((SELECT lc.mailbox FROM mailFtsCopies lc\n"
    "          WHERE lc.externalId = mailFtsVirtualTable.externalId AND lc.resolved = 1\n"
    "          ORDER BY lc.envelopeRowid LIMIT 1), mailFtsVirtualTable.mailbox)";

constexpr const char* kInboxClause =
    " AND EXISTS (SELECT 1 FROM mailFtsCopies ic WHERE ic.externalId = mailFtsVirtualTable.externalId AND "
    "ic.resolved = 1 AND ic.mailbox LIKE '%/INBOX')";

constexpr const char* kFindSql =
    "SELECT externalId, subject, sender, mailbox, dateSent, dateReceived, content\n"
    "FROM mailFtsVirtualTable\n"
    "WHERE externalId = ?\n"
    "LIMIT 1";

constexpr const char* kRecentSql =
    "SELECT externalId, subject, sender, mailbox, dateSent, dateReceived,\n"
    "       substr(content, 1, 200)\n"
    "FROM mailFtsVirtualTable\n"
    "ORDER BY dateReceived DESC\n"
    "LIMIT ?";

constexpr const char* kMailsInMailboxSql =
    "SELECT f.externalId, f.subject, f.sender,\n"
    "       (SELECT c2.mailbox FROM mailFtsCopies c2\n"
    "        WHERE c2.externalId = f.externalId AND c2.resolved = 1 AND c2.mailbox LIKE ? ESCAPE '\\'\n"
    "        ORDER BY c2.envelopeRowid LIMIT 1),\n"
    "       f.dateSent, f.dateReceived, substr(f.content, 1, 200)\n"
    "FROM mailFtsVirtualTable f\n"
    "WHERE EXISTS (\n"
    "    SELECT 1 FROM mailFtsCopies c\n"
    "    WHERE c.externalId = f.externalId AND c.resolved = 1 AND c.mailbox LIKE ? ESCAPE '\\'\n"
    ")\n"
    "ORDER BY f.dateReceived DESC\n"
    "LIMIT ?";

constexpr const char* kStatusCountsSql = "SELECT indexStatus, COUNT(*) FROM mailFtsMeta GROUP BY indexStatus";

constexpr const char* kMetaColumns =
    "SELECT externalId, indexStatus, attemptCount, emlxMtime,\n"
    "           lastAttemptedAt, errorReason, envelopeRowid\n"
    "    FROM mailFtsMeta";

constexpr const char* kIndexStateSql =
    "SELECT fingerprintHi, fingerprintLo, fullyCovered, dbVersion\n"
    "    FROM mailFtsIndexState WHERE id = 0";

constexpr const char* kActionableSql =
    "SELECT COUNT(*) FROM mailFtsMeta\n"
    "    WHERE indexStatus != 'success' AND attemptCount < 5";

constexpr const char* kStalledSql =
    "SELECT envelopeRowid FROM mailFtsMeta\n"
    "    WHERE indexStatus IN ('empty','failed')\n"
    "      AND attemptCount >= 5\n"
    "      AND envelopeRowid IS NOT NULL";

constexpr const char* kFtsMailboxesSql = "SELECT externalId, mailbox FROM mailFtsVirtualTable";

constexpr const char* kCanonicalSql =
    "SELECT externalId, MIN(envelopeRowid) FROM mailFtsCopies\n"
    "    WHERE resolved = 1 GROUP BY externalId";

constexpr const char* kCoveredSql = "SELECT DISTINCT envelopeRowid FROM mailFtsCopies WHERE resolved = 1";
constexpr const char* kEnvelopeRowidSql = "SELECT envelopeRowid FROM mailFtsMeta WHERE externalId = ? LIMIT 1";

std::optional<std::string> textColumn(const SqliteStatement& row, int column) {
    if (row.typeAt(column) == ColumnType::null) return std::nullopt;
    return row.textAt(column);
}

std::optional<int64_t> integerColumn(const SqliteStatement& row, int column) {
    if (row.typeAt(column) == ColumnType::null) return std::nullopt;
    return row.int64At(column);
}

// 0 stands for "not known" in the date columns.
std::optional<Date> dateColumn(const SqliteStatement& row, int column) {
    if (row.typeAt(column) == ColumnType::null) return std::nullopt;
    const double seconds = row.doubleAt(column);
    if (seconds == 0) return std::nullopt;
    return dateFromSecondsSince1970(seconds);
}

MailSearchHit hitOf(const SqliteStatement& row) {
    MailSearchHit hit;
    hit.externalId = row.textAt(0);
    hit.subject = textColumn(row, 1);
    hit.sender = textColumn(row, 2);
    hit.mailbox = textColumn(row, 3);
    hit.dateSent = dateColumn(row, 4);
    hit.dateReceived = dateColumn(row, 5);
    hit.snippet = textColumn(row, 6);
    return hit;
}

MailMetaRecord metaOf(const SqliteStatement& row) {
    MailMetaRecord r;
    r.externalId = row.textAt(0);
    r.indexStatus = mailIndexStatusFromText(row.textAt(1)).value_or(MailIndexStatus::pending);
    r.attemptCount = row.int64At(2);
    if (row.typeAt(3) != ColumnType::null) r.emlxMtime = row.doubleAt(3);
    r.lastAttemptedAt = row.doubleAt(4);
    r.errorReason = textColumn(row, 5);
    r.envelopeRowid = integerColumn(row, 6);
    return r;
}

}  // namespace

std::string_view toText(MailIndexStatus status) {
    switch (status) {
        case MailIndexStatus::pending: return "pending";
        case MailIndexStatus::success: return "success";
        case MailIndexStatus::empty: return "empty";
        case MailIndexStatus::failed: return "failed";
    }
    return "pending";
}

std::optional<MailIndexStatus> mailIndexStatusFromText(std::string_view text) {
    for (const auto s : {MailIndexStatus::pending, MailIndexStatus::success, MailIndexStatus::empty,
                         MailIndexStatus::failed}) {
        if (toText(s) == text) return s;
    }
    return std::nullopt;
}

std::filesystem::path MailFtsSqlite::defaultDatabasePath() {
    const auto support = platform::userDirectories().applicationSupport;
    if (support.empty()) return {};
    return support / "Lumidex" / "MailIndex" / "mail_fts_v9.sqlite";
}

MailFtsSqlite& MailFtsSqlite::shared() {
    static MailFtsSqlite store(defaultDatabasePath());
    return store;
}

MailFtsSqlite::MailFtsSqlite(std::filesystem::path databasePath, LogSink log)
    : databasePath_(std::move(databasePath)), log_(std::move(log)) {}

MailFtsSqlite::~MailFtsSqlite() = default;

void MailFtsSqlite::log(std::string_view line) const {
    if (log_) log_(line);
    else appLog(line);
}

void MailFtsSqlite::logFailure(std::string_view operation, const std::string& error, std::string_view externalId) const {
    std::string line = "MailFtsSqlite." + std::string(operation) + " failed";
    if (!externalId.empty()) line += " for " + std::string(externalId);
    log(line + ": " + error);
}

bool MailFtsSqlite::ensureOpen() {
    std::lock_guard lock(openMutex_);
    if (!openTried_) return openLocked();
    return openError_.empty();
}

std::string MailFtsSqlite::openError() {
    std::lock_guard lock(openMutex_);
    return openError_;
}

bool MailFtsSqlite::openLocked() {
    openTried_ = true;
    openError_.clear();
    const auto fail = [&](std::string_view prefix, std::string error) {
        log(std::string(prefix) + error);
        openError_ = error.empty() ? "unknown error" : std::move(error);
        return false;
    };
    if (databasePath_.empty()) {
        log("MailFtsSqlite: applicationSupport not available");
        openError_ = "applicationSupport not available";
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(databasePath_.parent_path(), ec);
    if (ec) return fail("MailFtsSqlite init failed: ", ec.message());

    std::string error;
    auto writer = SqliteDatabase::open(databasePath_, error);
    if (!writer) return fail("MailFtsSqlite init failed: ", error);
    writer->setBusyTimeout(kBusyTimeoutMs);
    if (!writer->exec("PRAGMA journal_mode=WAL", error) || !writer->exec("PRAGMA synchronous=NORMAL", error)) {
        return fail("MailFtsSqlite init failed: ", error);
    }
    if (!writer->exec(kCreateFtsSql, error) || !writer->exec(kCreateBookkeepingSql, error)) {
        return fail("MailFtsSqlite schema init failed: ", error);
    }
    auto reader = SqliteDatabase::openExisting(databasePath_, error);
    if (!reader) return fail("MailFtsSqlite init failed: ", error);
    reader->setBusyTimeout(kBusyTimeoutMs);
    // The reading connection never writes; saying so makes a slip an error instead of a second writer.
    if (!reader->exec("PRAGMA query_only=ON", error)) return fail("MailFtsSqlite init failed: ", error);

    {
        std::scoped_lock both(writer_.mutex, reader_.mutex);
        writer_.db = std::move(writer);
        reader_.db = std::move(reader);
    }
    if (backfillOnOpen_) {
        std::lock_guard lock(writer_.mutex);
        (void)backfillLocked(*writer_.db);  // logs its own failure; the store is usable without it
    }
    return true;
}

std::vector<MailSearchHit> MailFtsSqlite::readHits(std::string_view errorPrefix, std::string_view sql,
                                                   const fts_sql::Bind& bind, bool* failed) {
    std::vector<MailSearchHit> hits;
    if (!ensureOpen()) return hits;
    std::lock_guard lock(reader_.mutex);
    std::string error;
    if (!fts_sql::run(*reader_.db, sql, bind, [&](const SqliteStatement& row) { hits.push_back(hitOf(row)); }, error)) {
        log(std::string(errorPrefix) + error);
        if (failed != nullptr) *failed = true;
        return {};
    }
    return hits;
}

std::vector<MailSearchHit> MailFtsSqlite::search(std::string_view query, int64_t limit, bool inboxOnly) {
    const std::string trimmed = trimMailQuery(query);
    if (trimmed.empty()) return {};
    const std::string head = std::string("SELECT externalId, subject, sender, ") + kMailboxExpression +
                             ", dateSent, dateReceived,\n       ";
    const std::string tail = std::string(inboxOnly ? kInboxClause : "") + "\nORDER BY dateReceived DESC\nLIMIT ?";

    const std::string expression = mailFtsMatchExpression(trimmed);
    if (!expression.empty()) {
        // The rows to answer with are chosen first, so that snippets (and mailboxes) are made only for
        // them, not for every message that matches.
        const std::string sql = head +
                                "snippet(mailFtsVirtualTable, '', '', '\u2026', -1, 32)\n"
                                "FROM mailFtsVirtualTable\nWHERE content MATCH ? AND docid IN (\n"
                                "    SELECT docid FROM mailFtsVirtualTable WHERE content MATCH ?" +
                                (inboxOnly ? kInboxClause : "") +
                                "\n    ORDER BY dateReceived DESC LIMIT ?)\nORDER BY dateReceived DESC";
        // A failed full-text query is logged and answers nothing; it does not fall back.
        bool failed = false;
        auto hits = readHits(
            "MailFtsSqlite search error: ", sql,
            [&](SqliteStatement& s) {
                return s.bind(1, std::string_view(expression)) && s.bind(2, std::string_view(expression)) &&
                       s.bind(3, limit);
            },
            &failed);
        if (failed || !hits.empty()) return hits;
    }
    if (platform::characterCount(trimmed) < 3) return {};
    const std::string sql = head + "substr(content, 1, 200)\nFROM mailFtsVirtualTable\nWHERE content LIKE ? ESCAPE '\\'" + tail;
    const std::string pattern = mailFtsLikePattern(trimmed);
    return readHits("MailFtsSqlite search error: ", sql, [&](SqliteStatement& s) {
        return s.bind(1, std::string_view(pattern)) && s.bind(2, limit);
    });
}

std::optional<MailDetailRecord> MailFtsSqlite::find(std::string_view externalId) {
    if (!ensureOpen()) {
        log("MailFtsSqlite.find: connection war nil \u2014 reopen f\u00fcr externalId=" + std::string(externalId));
        std::lock_guard lock(openMutex_);
        // Another caller may have reopened it meanwhile.
        if (!openError_.empty() && !openLocked()) return std::nullopt;
    }
    std::lock_guard lock(reader_.mutex);
    std::optional<MailDetailRecord> found;
    std::string error;
    const bool ok = fts_sql::run(
        *reader_.db, kFindSql, [&](SqliteStatement& s) { return s.bind(1, externalId); },
        [&](const SqliteStatement& row) {
            found = MailDetailRecord{row.textAt(0),       textColumn(row, 1),  textColumn(row, 2), textColumn(row, 3),
                                     dateColumn(row, 4), dateColumn(row, 5), textColumn(row, 6)};
        },
        error);
    if (!ok) {
        logFailure("find", error, externalId);
        return std::nullopt;
    }
    return found;
}

std::vector<MailSearchHit> MailFtsSqlite::recent(int64_t limit) {
    return readHits("MailFtsSqlite.recent error: ", kRecentSql, [&](SqliteStatement& s) { return s.bind(1, limit); });
}

std::vector<MailSearchHit> MailFtsSqlite::mailsInMailbox(std::string_view mailboxPattern, int64_t limit) {
    return readHits("MailFtsSqlite.mailsInMailbox error: ", kMailsInMailboxSql, [&](SqliteStatement& s) {
        return s.bind(1, mailboxPattern) && s.bind(2, mailboxPattern) && s.bind(3, limit);
    });
}

bool MailFtsSqlite::withReader(std::string_view operation, const ReadBody& body) {
    if (!ensureOpen()) return false;
    std::lock_guard lock(reader_.mutex);
    std::string error;
    if (body(*reader_.db, error)) return true;
    logFailure(operation, error);
    return false;
}

std::map<std::string, int64_t> MailFtsSqlite::statusCounts() {
    std::map<std::string, int64_t> counts;
    for (const auto s : {MailIndexStatus::pending, MailIndexStatus::success, MailIndexStatus::empty,
                         MailIndexStatus::failed}) {
        counts[std::string(toText(s))] = 0;
    }
    const bool ok = withReader("statusCounts", [&](SqliteDatabase& db, std::string& error) {
        return fts_sql::run(
            db, kStatusCountsSql, fts_sql::noParameters,
            [&](const SqliteStatement& row) { counts[row.textAt(0)] = row.int64At(1); }, error);
    });
    return ok ? counts : std::map<std::string, int64_t>{};
}

std::vector<MailMetaRecord> MailFtsSqlite::incompleteRecords(std::optional<MailIndexStatus> status, int64_t limit) {
    const std::string where = status ? "WHERE indexStatus = '" + std::string(toText(*status)) + "'"
                                     : std::string("WHERE indexStatus != 'success'");
    const std::string sql =
        std::string(kMetaColumns) + "\n    " + where + "\n    ORDER BY lastAttemptedAt DESC\n    LIMIT ?";
    std::vector<MailMetaRecord> out;
    const bool ok = withReader("incompleteRecords", [&](SqliteDatabase& db, std::string& error) {
        return fts_sql::run(
            db, sql, [&](SqliteStatement& s) { return s.bind(1, limit); },
            [&](const SqliteStatement& row) { out.push_back(metaOf(row)); }, error);
    });
    return ok ? out : std::vector<MailMetaRecord>{};
}

std::vector<MailMetaRecord> MailFtsSqlite::loadAllMeta(bool* read) {
    std::vector<MailMetaRecord> out;
    const bool ok = withReader("loadAllMeta", [&](SqliteDatabase& db, std::string& error) {
        return fts_sql::run(
            db, kMetaColumns, fts_sql::noParameters, [&](const SqliteStatement& row) { out.push_back(metaOf(row)); },
            error);
    });
    if (read != nullptr) *read = ok;
    return ok ? out : std::vector<MailMetaRecord>{};
}

std::vector<MailMetaRecord> MailFtsSqlite::metaWithPrefix(std::string_view prefix, bool* read) {
    std::vector<MailMetaRecord> out;
    // [prefix, prefix with its last byte raised) is the key range of every id starting with it.
    std::string end(prefix);
    while (!end.empty() && static_cast<unsigned char>(end.back()) == 0xff) end.pop_back();
    if (!end.empty()) end.back() = static_cast<char>(static_cast<unsigned char>(end.back()) + 1);
    const std::string sql = std::string(kMetaColumns) + "\n    WHERE externalId >= ?" +
                            (end.empty() ? std::string() : std::string(" AND externalId < ?"));
    const bool ok = withReader("metaWithPrefix", [&](SqliteDatabase& db, std::string& error) {
        return fts_sql::run(
            db, sql,
            [&](SqliteStatement& s) { return s.bind(1, prefix) && (end.empty() || s.bind(2, std::string_view(end))); },
            [&](const SqliteStatement& row) { out.push_back(metaOf(row)); }, error);
    });
    if (read != nullptr) *read = ok;
    return ok ? out : std::vector<MailMetaRecord>{};
}

std::optional<MailIndexState> MailFtsSqlite::getIndexState() {
    std::optional<MailIndexState> state;
    const bool ok = withReader("getIndexState", [&](SqliteDatabase& db, std::string& error) {
        return fts_sql::run(
            db, kIndexStateSql, fts_sql::noParameters,
            [&](const SqliteStatement& row) {
                state = MailIndexState{row.int64At(0), row.int64At(1), row.int64At(2) != 0, textColumn(row, 3)};
            },
            error);
    });
    return ok ? state : std::nullopt;
}

int64_t MailFtsSqlite::actionableIncompleteCount() {
    int64_t count = 0;
    const bool ok = withReader("actionableIncompleteCount", [&](SqliteDatabase& db, std::string& error) {
        return fts_sql::run(
            db, kActionableSql, fts_sql::noParameters, [&](const SqliteStatement& row) { count = row.int64At(0); },
            error);
    });
    return ok ? count : 0;
}

std::set<int64_t> MailFtsSqlite::stalledPlaceholderRowids() {
    std::set<int64_t> out;
    const bool ok = withReader("stalledPlaceholderRowids", [&](SqliteDatabase& db, std::string& error) {
        return fts_sql::run(
            db, kStalledSql, fts_sql::noParameters, [&](const SqliteStatement& row) { out.insert(row.int64At(0)); },
            error);
    });
    return ok ? out : std::set<int64_t>{};
}

std::map<std::string, std::optional<std::string>> MailFtsSqlite::ftsMailboxes(bool* read) {
    return ftsMailboxes(std::string_view(), read);
}

std::map<std::string, std::optional<std::string>> MailFtsSqlite::ftsMailboxes(std::string_view prefix, bool* read) {
    std::map<std::string, std::optional<std::string>> out;
    const bool ok = withReader("ftsMailboxes", [&](SqliteDatabase& db, std::string& error) {
        return fts_sql::run(
            db, kFtsMailboxesSql, fts_sql::noParameters,
            [&](const SqliteStatement& row) {
                std::string id = row.textAt(0);
                if (id.starts_with(prefix)) out[std::move(id)] = textColumn(row, 1);
            },
            error);
    });
    if (read != nullptr) *read = ok;
    return ok ? out : std::map<std::string, std::optional<std::string>>{};
}

std::map<std::string, int64_t> MailFtsSqlite::canonicalRowids(bool* read) {
    std::map<std::string, int64_t> out;
    const bool ok = withReader("canonicalRowids", [&](SqliteDatabase& db, std::string& error) {
        return fts_sql::run(
            db, kCanonicalSql, fts_sql::noParameters,
            [&](const SqliteStatement& row) { out[row.textAt(0)] = row.int64At(1); }, error);
    });
    if (read != nullptr) *read = ok;
    return ok ? out : std::map<std::string, int64_t>{};
}

std::set<int64_t> MailFtsSqlite::coveredEnvelopeRowids() {
    std::set<int64_t> out;
    const bool ok = withReader("coveredEnvelopeRowids", [&](SqliteDatabase& db, std::string& error) {
        return fts_sql::run(
            db, kCoveredSql, fts_sql::noParameters, [&](const SqliteStatement& row) { out.insert(row.int64At(0)); },
            error);
    });
    return ok ? out : std::set<int64_t>{};
}

std::optional<int64_t> MailFtsSqlite::envelopeRowid(std::string_view externalId) {
    std::optional<int64_t> out;
    const bool ok = withReader("envelopeRowid", [&](SqliteDatabase& db, std::string& error) {
        return fts_sql::run(
            db, kEnvelopeRowidSql, [&](SqliteStatement& s) { return s.bind(1, externalId); },
            [&](const SqliteStatement& row) { out = integerColumn(row, 0); }, error);
    });
    return ok ? out : std::nullopt;
}

}  // namespace lumidex::mail
