#include "mail/mail_envelope.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <nlohmann/json.hpp>
#include <system_error>

#include "core/model/date.h"
#include "platform/sqlite.h"

namespace lumidex::mail {

using platform::SqliteDatabase;
using platform::SqliteStatement;
using ColumnType = SqliteStatement::ColumnType;

namespace {

// Dates before this many seconds are counted from 2001-01-01 UTC (the mail client's reference date).
constexpr int64_t kReferenceDateOffset = 978'307'200;

constexpr const char* kJoins =
    "FROM messages m\n"
    "LEFT JOIN subjects s ON m.subject = s.ROWID\n"
    "LEFT JOIN addresses a ON m.sender = a.ROWID\n"
    "LEFT JOIN mailboxes mb ON m.mailbox = mb.ROWID\n"
    "LEFT JOIN summaries sum ON m.summary = sum.ROWID\n";

constexpr const char* kRecordColumns =
    "SELECT\n"
    "    m.ROWID,\n"
    "    m.document_id,\n"
    "    s.subject,\n"
    "    a.address,\n"
    "    a.comment,\n"
    "    m.mailbox,\n"
    "    mb.url,\n"
    "    m.date_sent,\n"
    "    m.date_received,\n"
    "    m.flags,\n"
    "    m.read,\n"
    "    sum.summary\n";

constexpr const char* kCompactRecordColumns =
    "SELECT\n"
    "    m.ROWID, m.document_id, s.subject, a.address, a.comment,\n"
    "    m.mailbox, mb.url, m.date_sent, m.date_received,\n"
    "    m.flags, m.read, sum.summary\n";

constexpr const char* kRecipientsSql =
    "SELECT a.address, a.comment, r.type\n"
    "FROM recipients r\n"
    "JOIN addresses a ON r.address = a.ROWID\n"
    "WHERE r.message = ?\n"
    "ORDER BY r.position";

constexpr const char* kPeekSql =
    "SELECT m.ROWID, m.document_id, m.message_id, m.summary, sum.summary AS summary_text,\n"
    "       s.subject, a.address\n"
    "FROM messages m\n"
    "LEFT JOIN summaries sum ON m.summary = sum.ROWID\n"
    "LEFT JOIN subjects s ON m.subject = s.ROWID\n"
    "LEFT JOIN addresses a ON m.sender = a.ROWID\n"
    "WHERE m.ROWID = ?";

constexpr const char* kFindRowidsSql =
    "SELECT m.ROWID, s.subject\n"
    "FROM messages m\n"
    "LEFT JOIN subjects s ON m.subject = s.ROWID\n"
    "WHERE s.subject LIKE ?\n"
    "LIMIT ?";

constexpr const char* kCountSql = "SELECT COUNT(*) FROM messages";
constexpr const char* kColumnsSql = "SELECT * FROM messages LIMIT 1";
constexpr const char* kTablesSql = "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name";
constexpr const char* kMailboxesSql = "SELECT ROWID, url, total_count FROM mailboxes ORDER BY ROWID";

constexpr const char* kRowidMailboxesSql =
    "SELECT m.ROWID, mb.url\n"
    "FROM messages m\n"
    "LEFT JOIN mailboxes mb ON m.mailbox = mb.ROWID\n"
    "WHERE mb.url IS NOT NULL";

constexpr const char* kRowidDocumentIdsSql =
    "SELECT ROWID, document_id FROM messages\n"
    "WHERE document_id IS NOT NULL AND document_id != ''";

constexpr const char* kRowidsSql = "SELECT ROWID FROM messages";

std::string sqlPrefixContext(std::string_view sql) { return std::string(sql.substr(0, 80)) + "..."; }

EnvelopeIndexError queryFailed(std::string context, std::string underlying) {
    EnvelopeIndexError e;
    e.kind = EnvelopeIndexError::Kind::queryFailed;
    e.context = std::move(context);
    e.underlying = std::move(underlying);
    return e;
}

EnvelopeIndexError openError(EnvelopeIndexError::Kind kind, const std::filesystem::path& path, std::string underlying) {
    EnvelopeIndexError e;
    e.kind = kind;
    e.path = path;
    e.underlying = std::move(underlying);
    return e;
}

std::optional<std::string> textColumn(const SqliteStatement& row, int column) {
    if (row.typeAt(column) != ColumnType::text) return std::nullopt;
    return row.textAt(column);
}

std::optional<int64_t> integerColumn(const SqliteStatement& row, int column) {
    if (row.typeAt(column) != ColumnType::integer) return std::nullopt;
    return row.int64At(column);
}

// The mail client writes dates either as seconds since 2001 or since 1970; small values can only be
// the former, since no mail predates 2001 by the 1970 count.
std::optional<std::string> dateColumn(const SqliteStatement& row, int column) {
    double seconds = 0;
    switch (row.typeAt(column)) {
        case ColumnType::integer: {
            const int64_t value = row.int64At(column);
            if (value <= 0) return std::nullopt;
            seconds = value < kReferenceDateOffset ? static_cast<double>(value + kReferenceDateOffset)
                                                   : static_cast<double>(value);
            break;
        }
        case ColumnType::real: {
            const double value = row.doubleAt(column);
            if (!std::isfinite(value) || value <= 0) return std::nullopt;
            seconds = value < static_cast<double>(kReferenceDateOffset) ? value + static_cast<double>(kReferenceDateOffset)
                                                                         : value;
            break;
        }
        default: return std::nullopt;
    }
    return iso8601String(dateFromSecondsSince1970(seconds));
}

MailRecord recordOf(const SqliteStatement& row) {
    MailRecord r;
    r.rowid = row.int64At(0);
    r.messageId = textColumn(row, 1);
    r.subject = textColumn(row, 2);
    r.senderAddress = textColumn(row, 3);
    r.senderName = textColumn(row, 4);
    r.mailboxRowid = integerColumn(row, 5);
    r.mailboxUrl = textColumn(row, 6);
    r.dateSent = dateColumn(row, 7);
    r.dateReceived = dateColumn(row, 8);
    r.flags = integerColumn(row, 9);
    if (const auto read = integerColumn(row, 10)) r.read = *read != 0;
    r.summary = textColumn(row, 11);
    return r;
}

// Runs `sql`; `bind` binds its parameters (returns false when it cannot), `onRow` takes each row.
// Every failure becomes queryFailed with `context`.
template <typename Bind, typename OnRow>
std::optional<EnvelopeIndexError> runQuery(SqliteDatabase& db, std::string_view sql, const std::string& context,
                                           Bind&& bind, OnRow&& onRow) {
    std::string error;
    auto statement = db.prepare(sql, error);
    if (!statement) return queryFailed(context, error);
    if (!bind(*statement)) return queryFailed(context, statement->errorMessage());
    for (;;) {
        switch (statement->step()) {
            case SqliteStatement::Step::row: onRow(*statement); break;
            case SqliteStatement::Step::done: return std::nullopt;
            case SqliteStatement::Step::error: return queryFailed(context, statement->errorMessage());
        }
    }
}

constexpr auto kNoParameters = [](SqliteStatement&) { return true; };

// SQLite reads "%HH" escapes in a URI and ends the path at "?" or "#"; other characters stand for
// themselves.
std::string uriPath(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (const char c : path) {
        if (c == '%') out += "%25";
        else if (c == '?') out += "%3f";
        else if (c == '#') out += "%23";
        else out.push_back(c);
    }
    return out;
}

}  // namespace

std::string EnvelopeIndexError::message() const {
    const std::string p = path.string();
    switch (kind) {
        case Kind::databaseNotFound:
            return "Envelope Index nicht gefunden unter " + p + ". Apple Mail installiert und mindestens einmal gestartet?";
        case Kind::permissionDenied:
            return "Zugriff verweigert auf " + p +
                   ".\nWahrscheinlich fehlt Full Disk Access. Systemeinstellungen \u2192 Datenschutz & Sicherheit \u2192 "
                   "Festplattenvollzugriff \u2192 Terminal (bzw. ausfuehrendes Programm) aktivieren.\nUnderlying: " +
                   underlying;
        case Kind::openFailed: return "Konnte " + p + " nicht oeffnen: " + underlying;
        case Kind::queryFailed: return "Query fehlgeschlagen (" + context + "): " + underlying;
    }
    return underlying;
}

void to_json(nlohmann::json& json, const MailRecord& r) {
    json = nlohmann::json::object();
    json["rowid"] = r.rowid;
    const auto put = [&](const char* key, const auto& value) {
        if (value) json[key] = *value;
    };
    put("messageId", r.messageId);
    put("subject", r.subject);
    put("senderAddress", r.senderAddress);
    put("senderName", r.senderName);
    put("mailboxRowid", r.mailboxRowid);
    put("mailboxUrl", r.mailboxUrl);
    put("dateSent", r.dateSent);
    put("dateReceived", r.dateReceived);
    put("flags", r.flags);
    put("read", r.read);
    put("summary", r.summary);
}

void from_json(const nlohmann::json& json, MailRecord& r) {
    r = MailRecord{};
    r.rowid = json.at("rowid").get<int64_t>();
    const auto take = [&](const char* key, auto& value) {
        const auto it = json.find(key);
        if (it != json.end() && !it->is_null()) value = it->get<typename std::decay_t<decltype(value)>::value_type>();
    };
    take("messageId", r.messageId);
    take("subject", r.subject);
    take("senderAddress", r.senderAddress);
    take("senderName", r.senderName);
    take("mailboxRowid", r.mailboxRowid);
    take("mailboxUrl", r.mailboxUrl);
    take("dateSent", r.dateSent);
    take("dateReceived", r.dateReceived);
    take("flags", r.flags);
    take("read", r.read);
    take("summary", r.summary);
}

std::filesystem::path EnvelopeIndexReader::pathBelow(const std::filesystem::path& mailRoot) {
    return mailRoot / "V10" / "MailData" / "Envelope Index";
}

EnvelopeIndexReader::EnvelopeIndexReader(std::unique_ptr<SqliteDatabase> db, std::filesystem::path dbPath)
    : db_(std::move(db)), dbPath_(std::move(dbPath)) {}

EnvelopeIndexReader::~EnvelopeIndexReader() = default;

EnvelopeResult<std::unique_ptr<EnvelopeIndexReader>> EnvelopeIndexReader::open(const std::filesystem::path& dbPath,
                                                                            std::chrono::milliseconds busyTimeout) {
    using Kind = EnvelopeIndexError::Kind;
    std::error_code ec;
    const bool exists = std::filesystem::exists(dbPath, ec);
    if (ec == std::errc::permission_denied) {
        return openError(Kind::permissionDenied, dbPath, std::generic_category().message(EACCES) + " (POSIX error 13)");
    }
    if (!exists) return openError(Kind::databaseNotFound, dbPath, {});
    if (::access(dbPath.c_str(), R_OK) != 0) {
        return openError(Kind::permissionDenied, dbPath, std::generic_category().message(EACCES) + " (POSIX error 13)");
    }

    std::string error;
    int code = 0;
    auto db = SqliteDatabase::openReadOnlyUri("file:" + uriPath(dbPath.string()) + "?mode=ro", error, &code);
    if (!db) {
        const bool denied = code == 14 || error.find("authoriz") != std::string::npos;
        return openError(denied ? Kind::permissionDenied : Kind::openFailed, dbPath, error);
    }
    db->setBusyTimeout(static_cast<int>(busyTimeout.count()));
    return std::unique_ptr<EnvelopeIndexReader>(new EnvelopeIndexReader(std::move(db), dbPath));
}

EnvelopeResult<std::vector<MailRecord>> EnvelopeIndexReader::enumerate(int64_t afterRowid, std::optional<int64_t> limit) {
    std::string sql = std::string(kRecordColumns) + kJoins + "WHERE m.ROWID > ?\nORDER BY m.ROWID ASC\n";
    if (limit) sql += " LIMIT " + std::to_string(*limit);
    std::vector<MailRecord> records;
    if (auto e = runQuery(
            *db_, sql, sqlPrefixContext(sql), [&](SqliteStatement& s) { return s.bind(1, afterRowid); },
            [&](const SqliteStatement& row) { records.push_back(recordOf(row)); })) {
        return *e;
    }
    return records;
}

EnvelopeResult<std::vector<MailRecord>> EnvelopeIndexReader::enumerate(const std::vector<int64_t>& rowids) {
    std::vector<MailRecord> records;
    if (rowids.empty()) return records;
    std::string sql = std::string(kCompactRecordColumns) + kJoins + "WHERE m.ROWID IN (";
    for (size_t i = 0; i < rowids.size(); ++i) sql += i == 0 ? "?" : ",?";
    sql += ")\nORDER BY m.ROWID ASC";
    const auto bind = [&](SqliteStatement& s) {
        for (size_t i = 0; i < rowids.size(); ++i) {
            if (!s.bind(static_cast<int>(i + 1), rowids[i])) return false;
        }
        return true;
    };
    if (auto e = runQuery(*db_, sql, "enumerate(rowids:) failed", bind,
                          [&](const SqliteStatement& row) { records.push_back(recordOf(row)); })) {
        return *e;
    }
    return records;
}

EnvelopeResult<std::optional<MailRecord>> EnvelopeIndexReader::findByMessageId(std::string_view messageId) {
    const std::string sql = std::string(kRecordColumns) + kJoins + "WHERE m.document_id = ?\nLIMIT 1";
    std::optional<MailRecord> found;
    if (auto e = runQuery(
            *db_, sql, "findByMessageId", [&](SqliteStatement& s) { return s.bind(1, messageId); },
            [&](const SqliteStatement& row) { found = recordOf(row); })) {
        return *e;
    }
    return found;
}

EnvelopeResult<std::set<int64_t>> EnvelopeIndexReader::messageRowidsWithAttachments(
    const std::vector<std::string>& suffixes) {
    std::set<int64_t> rowids;
    if (suffixes.empty()) return rowids;  // "WHERE" with no condition would not even parse
    std::string sql = "SELECT DISTINCT message FROM attachments WHERE ";
    for (size_t i = 0; i < suffixes.size(); ++i) sql += i == 0 ? "LOWER(name) LIKE LOWER(?)" : " OR LOWER(name) LIKE LOWER(?)";
    const auto bind = [&](SqliteStatement& s) {
        for (size_t i = 0; i < suffixes.size(); ++i) {
            if (!s.bind(static_cast<int>(i + 1), std::string_view("%" + suffixes[i]))) return false;
        }
        return true;
    };
    if (auto e = runQuery(*db_, sql, "attachments-multi-suffix", bind, [&](const SqliteStatement& row) {
            if (const auto id = integerColumn(row, 0)) rowids.insert(*id);
        })) {
        return *e;
    }
    return rowids;
}

EnvelopeResult<std::vector<EnvelopeRecipient>> EnvelopeIndexReader::recipients(int64_t rowid) {
    std::vector<EnvelopeRecipient> out;
    if (auto e = runQuery(
            *db_, kRecipientsSql, "recipients(forRowid:)", [&](SqliteStatement& s) { return s.bind(1, rowid); },
            [&](const SqliteStatement& row) {
                out.push_back({textColumn(row, 0).value_or(""), textColumn(row, 1), integerColumn(row, 2)});
            })) {
        return *e;
    }
    return out;
}

EnvelopeResult<std::optional<EnvelopePeekRow>> EnvelopeIndexReader::peek(int64_t rowid) {
    std::optional<EnvelopePeekRow> out;
    if (auto e = runQuery(
            *db_, kPeekSql, sqlPrefixContext(kPeekSql), [&](SqliteStatement& s) { return s.bind(1, rowid); },
            [&](const SqliteStatement& row) {
                out = EnvelopePeekRow{row.int64At(0),        textColumn(row, 1), textColumn(row, 2), integerColumn(row, 3),
                                      textColumn(row, 4),    textColumn(row, 5), textColumn(row, 6)};
            })) {
        return *e;
    }
    return out;
}

EnvelopeResult<std::vector<std::pair<int64_t, std::optional<std::string>>>> EnvelopeIndexReader::findRowids(
    std::string_view likePattern, int64_t limit) {
    std::vector<std::pair<int64_t, std::optional<std::string>>> out;
    const auto bind = [&](SqliteStatement& s) { return s.bind(1, likePattern) && s.bind(2, limit); };
    if (auto e = runQuery(*db_, kFindRowidsSql, sqlPrefixContext(kFindRowidsSql), bind,
                          [&](const SqliteStatement& row) { out.emplace_back(row.int64At(0), textColumn(row, 1)); })) {
        return *e;
    }
    return out;
}

EnvelopeResult<int64_t> EnvelopeIndexReader::messageCount() {
    int64_t count = 0;
    if (auto e = runQuery(*db_, kCountSql, sqlPrefixContext(kCountSql), kNoParameters,
                          [&](const SqliteStatement& row) { count = row.int64At(0); })) {
        return *e;
    }
    return count;
}

EnvelopeResult<std::vector<std::string>> EnvelopeIndexReader::messageColumns() {
    std::string error;
    auto statement = db_->prepare(kColumnsSql, error);
    if (!statement) return queryFailed(sqlPrefixContext(kColumnsSql), error);
    std::vector<std::string> names;
    for (int i = 0; i < statement->columnCount(); ++i) names.push_back(statement->columnName(i));
    return names;
}

EnvelopeResult<std::vector<EnvelopeTable>> EnvelopeIndexReader::schema() {
    std::vector<EnvelopeTable> tables;
    if (auto e = runQuery(*db_, kTablesSql, sqlPrefixContext(kTablesSql), kNoParameters,
                          [&](const SqliteStatement& row) { tables.push_back({row.textAt(0), {}}); })) {
        return *e;
    }
    for (EnvelopeTable& table : tables) {
        std::string quoted;
        for (const char c : table.name) quoted += c == '\'' ? std::string("''") : std::string(1, c);
        const std::string sql = "PRAGMA table_info('" + quoted + "')";
        if (auto e = runQuery(*db_, sql, sqlPrefixContext(sql), kNoParameters,
                              [&](const SqliteStatement& row) { table.columns.push_back(row.textAt(1)); })) {
            return *e;
        }
    }
    return tables;
}

EnvelopeResult<std::vector<EnvelopeMailbox>> EnvelopeIndexReader::mailboxes() {
    std::vector<EnvelopeMailbox> out;
    if (auto e = runQuery(*db_, kMailboxesSql, sqlPrefixContext(kMailboxesSql), kNoParameters,
                          [&](const SqliteStatement& row) {
                              out.push_back({row.int64At(0), textColumn(row, 1), integerColumn(row, 2)});
                          })) {
        return *e;
    }
    return out;
}

EnvelopeResult<std::vector<std::pair<int64_t, std::string>>> EnvelopeIndexReader::allRowidMailboxes() {
    std::vector<std::pair<int64_t, std::string>> out;
    if (auto e = runQuery(*db_, kRowidMailboxesSql, "allRowidMailboxes", kNoParameters, [&](const SqliteStatement& row) {
            if (auto url = textColumn(row, 1)) out.emplace_back(row.int64At(0), std::move(*url));
        })) {
        return *e;
    }
    return out;
}

EnvelopeResult<std::vector<std::pair<int64_t, std::string>>> EnvelopeIndexReader::allRowidDocumentIds() {
    std::vector<std::pair<int64_t, std::string>> out;
    if (auto e = runQuery(*db_, kRowidDocumentIdsSql, "allRowidDocumentIds", kNoParameters,
                          [&](const SqliteStatement& row) {
                              if (auto id = textColumn(row, 1)) out.emplace_back(row.int64At(0), std::move(*id));
                          })) {
        return *e;
    }
    return out;
}

EnvelopeResult<std::vector<int64_t>> EnvelopeIndexReader::allRowids() {
    std::vector<int64_t> out;
    if (auto e = runQuery(*db_, kRowidsSql, "allRowids", kNoParameters,
                          [&](const SqliteStatement& row) { out.push_back(row.int64At(0)); })) {
        return *e;
    }
    return out;
}

}  // namespace lumidex::mail
