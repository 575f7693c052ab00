// The writing half of MailFtsSqlite: message rows, the ledger, the copies, the index state and the
// bookkeeping that keeps them consistent.
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "mail/mail_fts.h"
#include "mail/mail_fts_query.h"
#include "mail/mail_fts_sql.h"
#include "platform/sqlite.h"

namespace lumidex::mail {

using platform::SqliteDatabase;
using platform::SqliteStatement;

namespace {

constexpr const char* kInsertSql =
    "INSERT INTO mailFtsVirtualTable (externalId, subject, sender, mailbox, dateSent, dateReceived, contentHash, "
    "content) VALUES (?, ?, ?, ?, ?, ?, ?, ?)";

constexpr const char* kAppendSql =
    "UPDATE mailFtsVirtualTable\n"
    "    SET content = COALESCE(content, '') || ?\n"
    "    WHERE externalId = ?";

constexpr const char* kUpdateMailboxSql = "UPDATE mailFtsVirtualTable SET mailbox = ? WHERE externalId = ?";

constexpr const char* kUpsertMetaHead =
    "INSERT INTO mailFtsMeta (externalId, indexStatus, attemptCount,\n"
    "                              emlxMtime, lastAttemptedAt,\n"
    "                              errorReason, envelopeRowid)\n"
    "    VALUES (?, ?, ";
constexpr const char* kUpsertMetaTail =
    ", ?, ?, ?, ?)\n"
    "    ON CONFLICT(externalId) DO UPDATE SET\n"
    "        indexStatus = excluded.indexStatus,\n"
    "        attemptCount = excluded.attemptCount,\n"
    "        emlxMtime = COALESCE(excluded.emlxMtime, mailFtsMeta.emlxMtime),\n"
    "        lastAttemptedAt = excluded.lastAttemptedAt,\n"
    "        errorReason = excluded.errorReason,\n"
    "        envelopeRowid = COALESCE(excluded.envelopeRowid, mailFtsMeta.envelopeRowid)";
constexpr const char* kNextAttempt = "COALESCE((SELECT attemptCount FROM mailFtsMeta WHERE externalId = ?), 0) + 1";

constexpr const char* kSetCanonicalSql = "UPDATE mailFtsMeta SET envelopeRowid = ? WHERE externalId = ?";

constexpr const char* kSetIndexStateSql =
    "INSERT INTO mailFtsIndexState (id, fingerprintHi, fingerprintLo, fullyCovered, dbVersion, updatedAt)\n"
    "    VALUES (0, ?, ?, ?, ?, ?)\n"
    "    ON CONFLICT(id) DO UPDATE SET\n"
    "        fingerprintHi = excluded.fingerprintHi,\n"
    "        fingerprintLo = excluded.fingerprintLo,\n"
    "        fullyCovered = excluded.fullyCovered,\n"
    "        dbVersion = excluded.dbVersion,\n"
    "        updatedAt = excluded.updatedAt";

constexpr const char* kRecordCopySql =
    "INSERT INTO mailFtsCopies (envelopeRowid, externalId, mailbox, lastSeenAt, resolved)\n"
    "    VALUES (?, ?, ?, ?, ?)\n"
    "    ON CONFLICT(envelopeRowid) DO UPDATE SET\n"
    "        externalId = CASE WHEN excluded.resolved >= mailFtsCopies.resolved\n"
    "                          THEN excluded.externalId ELSE mailFtsCopies.externalId END,\n"
    "        mailbox = CASE WHEN excluded.resolved >= mailFtsCopies.resolved\n"
    "                       THEN excluded.mailbox ELSE mailFtsCopies.mailbox END,\n"
    "        lastSeenAt = excluded.lastSeenAt,\n"
    "        resolved = MAX(mailFtsCopies.resolved, excluded.resolved)";

// The live set is the mail client's: copies of local stores (negative rowids) are theirs to remove.
constexpr const char* kAllCopyRowidsSql = "SELECT envelopeRowid FROM mailFtsCopies WHERE envelopeRowid > 0";
constexpr size_t kPruneChunk = 500;

constexpr const char* kCopyCountSql = "SELECT COUNT(*) FROM mailFtsCopies";
constexpr const char* kWithoutCopiesSql =
    "SELECT m.externalId FROM mailFtsMeta m\n"
    "    WHERE NOT EXISTS (\n"
    "        SELECT 1 FROM mailFtsCopies c WHERE c.externalId = m.externalId\n"
    "    )\n"
    "      AND m.externalId NOT LIKE 'maildir:%' AND m.externalId NOT LIKE 'mbox:%'\n"
    "    LIMIT ?";

constexpr const char* kStaleMetaSql =
    "SELECT externalId FROM mailFtsMeta\n"
    "    WHERE (indexStatus = 'empty' AND attemptCount >= 10 AND lastAttemptedAt < ?)\n"
    "       OR (indexStatus = 'failed' AND lastAttemptedAt < ?)\n"
    "    LIMIT 1000";
constexpr const char* kDeleteMetaSql = "DELETE FROM mailFtsMeta WHERE externalId = ?";
constexpr const char* kDeleteCopiesSql = "DELETE FROM mailFtsCopies WHERE externalId = ?";
constexpr const char* kDeleteRowsSql = "DELETE FROM mailFtsVirtualTable WHERE externalId = ?";

constexpr const char* kResetIncompleteSql =
    "UPDATE mailFtsMeta\n"
    "    SET attemptCount = 0, indexStatus = 'pending', errorReason = NULL\n"
    "    WHERE indexStatus != 'success'";

constexpr const char* kDuplicatesSql =
    "SELECT externalId, COUNT(*) FROM mailFtsVirtualTable\n"
    "    GROUP BY externalId HAVING COUNT(*) > 1";
constexpr const char* kNewestDocidSql = "SELECT MAX(docid) FROM mailFtsVirtualTable WHERE externalId = ?";
constexpr const char* kDeleteOlderSql =
    "DELETE FROM mailFtsVirtualTable\n"
    "    WHERE externalId = ? AND docid != ?";

constexpr const char* kOrphanPlaceholdersSql =
    "SELECT m1.envelopeRowid, m1.externalId\n"
    "    FROM mailFtsMeta m1\n"
    "    WHERE m1.externalId LIKE 'lumidex-internal:rowid=%'\n"
    "      AND m1.envelopeRowid IS NOT NULL\n"
    "      AND EXISTS (\n"
    "          SELECT 1 FROM mailFtsMeta m2\n"
    "          WHERE m2.envelopeRowid = m1.envelopeRowid\n"
    "            AND m2.externalId NOT LIKE 'lumidex-internal:rowid=%'\n"
    "      )";

constexpr const char* kMissingMetaCountSql =
    "SELECT COUNT(*) FROM mailFtsVirtualTable f\n"
    "    WHERE NOT EXISTS (\n"
    "        SELECT 1 FROM mailFtsMeta m WHERE m.externalId = f.externalId\n"
    "    )";

constexpr double kDay = 86400;

double nowSeconds() { return secondsSince1970(now()); }

bool bindId(SqliteStatement& s, std::string_view externalId) { return s.bind(1, externalId); }

// The message's full-text rows, ledger row and copies, within the caller's transaction.
bool deleteMessage(SqliteDatabase& db, std::string_view externalId, std::string& error) {
    const auto bind = [&](SqliteStatement& s) { return bindId(s, externalId); };
    return fts_sql::run(db, kDeleteRowsSql, bind, error) && fts_sql::run(db, kDeleteMetaSql, bind, error) &&
           fts_sql::run(db, kDeleteCopiesSql, bind, error);
}

bool countOf(SqliteDatabase& db, std::string_view sql, int64_t& count, std::string& error) {
    return fts_sql::run(
        db, sql, fts_sql::noParameters, [&](const SqliteStatement& row) { count = row.int64At(0); }, error);
}

std::vector<std::string> firstColumnTexts(SqliteDatabase& db, std::string_view sql, const fts_sql::Bind& bind,
                                          bool& ok, std::string& error) {
    std::vector<std::string> out;
    ok = fts_sql::run(db, sql, bind, [&](const SqliteStatement& row) { out.push_back(row.textAt(0)); }, error);
    return out;
}

}  // namespace

bool MailFtsSqlite::inWriteTransaction(std::string_view operation, const WriteBody& body, std::string_view externalId) {
    if (!ensureOpen()) return false;
    std::lock_guard lock(writer_.mutex);
    platform::SqliteTransaction transaction(*writer_.db);
    if (!transaction.began()) {
        logFailure(operation, transaction.error(), externalId);
        return false;
    }
    std::string error;
    if (!body(*writer_.db, error)) {
        logFailure(operation, error, externalId);
        return false;
    }
    if (!transaction.commit()) {
        logFailure(operation, transaction.error(), externalId);
        return false;
    }
    return true;
}

int64_t MailFtsSqlite::upsertBatch(const std::vector<MailUpsertItem>& items) {
    if (items.empty() || !ensureOpen()) return 0;
    std::lock_guard lock(writer_.mutex);
    SqliteDatabase& db = *writer_.db;
    platform::SqliteTransaction transaction(db);
    std::string error;
    auto insert = transaction.began() ? db.prepare(kInsertSql, error) : nullptr;
    if (!transaction.began() || !insert) {
        log("MailFtsSqlite batch transaction failed: " + (transaction.began() ? error : transaction.error()));
        return 0;
    }
    int64_t written = 0;
    for (const MailUpsertItem& item : items) {
        insert->reset();
        const bool bound = insert->bind(1, std::string_view(item.externalId)) &&
                           fts_sql::bindOptional(*insert, 2, item.subject) &&
                           fts_sql::bindOptional(*insert, 3, item.sender) &&
                           fts_sql::bindOptional(*insert, 4, item.mailbox) &&
                           insert->bind(5, item.dateSent ? secondsSince1970(*item.dateSent) : 0.0) &&
                           insert->bind(6, item.dateReceived ? secondsSince1970(*item.dateReceived) : 0.0) &&
                           insert->bind(7, mailContentHash(item.content)) &&
                           insert->bind(8, std::string_view(item.content));
        if (bound && insert->run()) {
            ++written;
        } else {
            log("MailFtsSqlite batch entry failed for " + item.externalId + ": " + insert->errorMessage());
        }
    }
    insert.reset();
    if (!transaction.commit()) {
        log("MailFtsSqlite batch transaction failed: " + transaction.error());
        return 0;
    }
    return written;
}

namespace {

// Written before: a ledger row, or a copy (the ledger rows of old failed and empty messages are
// collected while their text and copies stay).
constexpr const char* kHasMetaSql =
    "SELECT 1 WHERE EXISTS (SELECT 1 FROM mailFtsMeta WHERE externalId = ?1)\n"
    "            OR EXISTS (SELECT 1 FROM mailFtsCopies WHERE externalId = ?1)";

bool bindInsert(SqliteStatement& insert, const MailUpsertItem& item) {
    return insert.bind(1, std::string_view(item.externalId)) && fts_sql::bindOptional(insert, 2, item.subject) &&
           fts_sql::bindOptional(insert, 3, item.sender) && fts_sql::bindOptional(insert, 4, item.mailbox) &&
           insert.bind(5, item.dateSent ? secondsSince1970(*item.dateSent) : 0.0) &&
           insert.bind(6, item.dateReceived ? secondsSince1970(*item.dateReceived) : 0.0) &&
           insert.bind(7, mailContentHash(item.content)) && insert.bind(8, std::string_view(item.content));
}

// The statements of one message, within its savepoint.
bool replaceOne(SqliteDatabase& db, const MailReplacement& m, const std::set<int64_t>& oldDocids, double now,
                std::string& error) {
    const std::string_view id = m.externalId;
    // A message that could not be read keeps the text it had.
    for (const int64_t docid : m.item ? oldDocids : std::set<int64_t>{}) {
        if (!fts_sql::run(db, "DELETE FROM mailFtsVirtualTable WHERE docid = ?",
                          [&](SqliteStatement& s) { return s.bind(1, docid); }, error)) {
            return false;
        }
    }
    if (m.item && !fts_sql::run(db, kInsertSql, [&](SqliteStatement& s) { return bindInsert(s, *m.item); }, error)) {
        return false;
    }
    const bool counts = m.status == MailIndexStatus::empty || m.status == MailIndexStatus::failed;
    const std::string sql = std::string(kUpsertMetaHead) + (counts ? kNextAttempt : "0") + kUpsertMetaTail;
    const auto bindMeta = [&](SqliteStatement& s) {
        int i = 1;
        bool ok = s.bind(i++, id) && s.bind(i++, toText(m.status));
        if (counts) ok = ok && s.bind(i++, id);
        ok = ok && (m.emlxMtime ? s.bind(i, *m.emlxMtime) : s.bindNull(i));
        ++i;
        ok = ok && s.bind(i++, now);
        const bool reason = m.status == MailIndexStatus::failed && m.errorReason;
        ok = ok && (reason ? s.bind(i, std::string_view(*m.errorReason)) : s.bindNull(i));
        ++i;
        return ok && (m.envelopeRowid ? s.bind(i, *m.envelopeRowid) : s.bindNull(i));
    };
    if (!fts_sql::run(db, sql, bindMeta, error)) return false;
    if (!m.copy) return true;
    return fts_sql::run(
        db, kRecordCopySql,
        [&](SqliteStatement& s) {
            return s.bind(1, m.copy->envelopeRowid) && s.bind(2, std::string_view(m.copy->externalId)) &&
                   fts_sql::bindOptional(s, 3, m.copy->mailbox) && s.bind(4, now) &&
                   s.bind(5, int64_t{m.copy->resolved ? 1 : 0});
        },
        error);
}

}  // namespace

std::vector<bool> MailFtsSqlite::replaceMessages(const std::vector<MailReplacement>& messages) {
    std::vector<bool> written(messages.size(), false);
    if (messages.empty()) return written;
    const double now = nowSeconds();
    std::vector<bool> done(messages.size(), false);
    const bool ok = inWriteTransaction("replaceMessages", [&](SqliteDatabase& db, std::string& error) {
        // The full-text table has no index on the external id: one pass finds the rows of every message
        // that has been written before, and only when there is one.
        std::set<std::string> known;
        for (const MailReplacement& m : messages) {
            const std::string& id = m.externalId;
            if (!fts_sql::run(db, kHasMetaSql, [&](SqliteStatement& s) { return bindId(s, id); },
                              [&](const SqliteStatement&) { known.insert(id); }, error)) {
                return false;
            }
        }
        std::map<std::string, std::set<int64_t>> docids;
        if (!known.empty() &&
            !fts_sql::run(
                db, "SELECT docid, externalId FROM mailFtsVirtualTable", fts_sql::noParameters,
                [&](const SqliteStatement& row) {
                    std::string id = row.textAt(1);
                    if (known.contains(id)) docids[std::move(id)].insert(row.int64At(0));
                },
                error)) {
            return false;
        }
        static const std::set<int64_t> kNone;
        for (size_t i = 0; i < messages.size(); ++i) {
            const std::string& id = messages[i].externalId;
            if (!db.exec("SAVEPOINT message", error)) return false;
            std::string messageError;
            const auto rows = docids.find(id);
            if (replaceOne(db, messages[i], rows == docids.end() ? kNone : rows->second, now, messageError)) {
                if (!db.exec("RELEASE message", error)) return false;
                done[i] = true;
            } else {
                logFailure("replaceMessages", messageError, id);
                if (!db.exec("ROLLBACK TO message", error) || !db.exec("RELEASE message", error)) return false;
            }
        }
        return true;
    });
    if (ok) written = done;
    return written;
}

bool MailFtsSqlite::appendContent(std::string_view externalId, std::string_view text) {
    bool changed = false;
    const bool ok = inWriteTransaction(
        "appendContent",
        [&](SqliteDatabase& db, std::string& error) {
            const bool ran = fts_sql::run(
                db, kAppendSql, [&](SqliteStatement& s) { return s.bind(1, text) && s.bind(2, externalId); }, error);
            changed = ran && db.changes() > 0;
            return ran;
        },
        externalId);
    return ok && changed;
}

bool MailFtsSqlite::updateMailbox(std::string_view externalId, std::string_view mailbox) {
    bool changed = false;
    const bool ok = inWriteTransaction(
        "updateMailbox",
        [&](SqliteDatabase& db, std::string& error) {
            const bool ran = fts_sql::run(
                db, kUpdateMailboxSql, [&](SqliteStatement& s) { return s.bind(1, mailbox) && s.bind(2, externalId); },
                error);
            changed = ran && db.changes() > 0;
            return ran;
        },
        externalId);
    return ok && changed;
}

bool MailFtsSqlite::upsertMeta(std::string_view externalId, MailIndexStatus status, std::optional<double> emlxMtime,
                               std::optional<int64_t> envelopeRowid, std::optional<std::string_view> errorReason) {
    const bool counts = status == MailIndexStatus::empty || status == MailIndexStatus::failed;
    const std::string sql = std::string(kUpsertMetaHead) + (counts ? kNextAttempt : "0") + kUpsertMetaTail;
    const double attemptedAt = nowSeconds();
    return inWriteTransaction(
        "upsertMeta",
        [&](SqliteDatabase& db, std::string& error) {
            return fts_sql::run(
                db, sql,
                [&](SqliteStatement& s) {
                    int i = 1;
                    bool ok = s.bind(i++, externalId) && s.bind(i++, toText(status));
                    if (counts) ok = ok && s.bind(i++, externalId);
                    ok = ok && (emlxMtime ? s.bind(i, *emlxMtime) : s.bindNull(i));
                    ++i;
                    ok = ok && s.bind(i++, attemptedAt);
                    ok = ok && (status == MailIndexStatus::failed && errorReason ? s.bind(i, *errorReason) : s.bindNull(i));
                    ++i;
                    return ok && (envelopeRowid ? s.bind(i, *envelopeRowid) : s.bindNull(i));
                },
                error);
        },
        externalId);
}

bool MailFtsSqlite::setCanonicalRowid(std::string_view externalId, int64_t envelopeRowid) {
    return inWriteTransaction(
        "setCanonicalRowid",
        [&](SqliteDatabase& db, std::string& error) {
            return fts_sql::run(
                db, kSetCanonicalSql,
                [&](SqliteStatement& s) { return s.bind(1, envelopeRowid) && s.bind(2, externalId); }, error);
        },
        externalId);
}

std::optional<int64_t> MailFtsSqlite::electCanonicalRowids() {
    static constexpr const char* kElectSql =
        "UPDATE mailFtsMeta SET envelopeRowid = (\n"
        "    SELECT MIN(c.envelopeRowid) FROM mailFtsCopies c\n"
        "    WHERE c.externalId = mailFtsMeta.externalId AND c.resolved = 1 AND c.envelopeRowid > 0)\n"
        "WHERE EXISTS (SELECT 1 FROM mailFtsCopies c\n"
        "              WHERE c.externalId = mailFtsMeta.externalId AND c.resolved = 1 AND c.envelopeRowid > 0)\n"
        "  AND envelopeRowid IS NOT (\n"
        "    SELECT MIN(c.envelopeRowid) FROM mailFtsCopies c\n"
        "    WHERE c.externalId = mailFtsMeta.externalId AND c.resolved = 1 AND c.envelopeRowid > 0)";
    int64_t changed = 0;
    const bool ok = inWriteTransaction("electCanonicalRowids", [&](SqliteDatabase& db, std::string& error) {
        if (!fts_sql::run(db, kElectSql, fts_sql::noParameters, error)) return false;
        changed = db.changes();
        return true;
    });
    return ok ? std::optional<int64_t>(changed) : std::nullopt;
}

bool MailFtsSqlite::setIndexState(const MailIndexState& state) {
    const double updatedAt = nowSeconds();
    return inWriteTransaction("setIndexState", [&](SqliteDatabase& db, std::string& error) {
        return fts_sql::run(
            db, kSetIndexStateSql,
            [&](SqliteStatement& s) {
                return s.bind(1, state.fingerprintHi) && s.bind(2, state.fingerprintLo) &&
                       s.bind(3, int64_t{state.fullyCovered ? 1 : 0}) && fts_sql::bindOptional(s, 4, state.dbVersion) &&
                       s.bind(5, updatedAt);
            },
            error);
    });
}

bool MailFtsSqlite::recordCopiesBatch(const std::vector<MailCopy>& copies) {
    if (copies.empty()) return true;
    const double seenAt = nowSeconds();
    return inWriteTransaction("recordCopiesBatch", [&](SqliteDatabase& db, std::string& error) {
        auto insert = db.prepare(kRecordCopySql, error);
        if (!insert) return false;
        for (const MailCopy& copy : copies) {
            insert->reset();
            const bool ok = insert->bind(1, copy.envelopeRowid) && insert->bind(2, std::string_view(copy.externalId)) &&
                            fts_sql::bindOptional(*insert, 3, copy.mailbox) && insert->bind(4, seenAt) &&
                            insert->bind(5, int64_t{copy.resolved ? 1 : 0}) && insert->run();
            if (!ok) {
                error = insert->errorMessage();
                return false;
            }
        }
        return true;
    });
}

std::optional<int64_t> MailFtsSqlite::pruneCopies(const std::set<int64_t>& liveRowids) {
    int64_t removed = 0;
    const bool ok = inWriteTransaction("pruneCopies", [&](SqliteDatabase& db, std::string& error) {
        std::vector<int64_t> dead;
        if (!fts_sql::run(
                db, kAllCopyRowidsSql, fts_sql::noParameters,
                [&](const SqliteStatement& row) {
                    if (!liveRowids.contains(row.int64At(0))) dead.push_back(row.int64At(0));
                },
                error)) {
            return false;
        }
        for (size_t start = 0; start < dead.size(); start += kPruneChunk) {
            const size_t n = std::min(kPruneChunk, dead.size() - start);
            std::string sql = "DELETE FROM mailFtsCopies WHERE envelopeRowid IN (";
            for (size_t i = 0; i < n; ++i) sql += i == 0 ? "?" : ",?";
            sql += ")";
            const auto bind = [&](SqliteStatement& s) {
                for (size_t i = 0; i < n; ++i) {
                    if (!s.bind(static_cast<int>(i + 1), dead[start + i])) return false;
                }
                return true;
            };
            if (!fts_sql::run(db, sql, bind, error)) return false;
            removed += db.changes();
        }
        return true;
    });
    return ok ? std::optional<int64_t>(removed) : std::nullopt;
}

std::optional<int64_t> MailFtsSqlite::deleteMessageIdsWithNoCopies(int64_t limit) {
    int64_t removed = 0;
    const bool ok = inWriteTransaction("deleteMessageIdsWithNoCopies", [&](SqliteDatabase& db, std::string& error) {
        // With no copies recorded at all, every message would look deleted: that is a store whose
        // copies were never reconciled, not a mailbox emptied by the user.
        int64_t copies = 0;
        if (!countOf(db, kCopyCountSql, copies, error)) return false;
        if (copies < 1) return true;
        bool selected = false;
        const auto ids = firstColumnTexts(
            db, kWithoutCopiesSql, [&](SqliteStatement& s) { return s.bind(1, limit); }, selected, error);
        if (!selected) return false;
        for (const std::string& id : ids) {
            if (!deleteMessage(db, id, error)) return false;
            ++removed;
        }
        return true;
    });
    return ok ? std::optional<int64_t>(removed) : std::nullopt;
}

bool MailFtsSqlite::deleteByExternalId(std::string_view externalId) {
    return inWriteTransaction(
        "deleteByExternalId",
        [&](SqliteDatabase& db, std::string& error) { return deleteMessage(db, externalId, error); }, externalId);
}

std::optional<int64_t> MailFtsSqlite::cleanupStaleMeta() {
    int64_t removed = 0;
    const double t = nowSeconds();
    const bool ok = inWriteTransaction("cleanupStaleMeta", [&](SqliteDatabase& db, std::string& error) {
        bool selected = false;
        const auto ids = firstColumnTexts(
            db, kStaleMetaSql, [&](SqliteStatement& s) { return s.bind(1, t - 30 * kDay) && s.bind(2, t - 90 * kDay); },
            selected, error);
        if (!selected) return false;
        for (const std::string& id : ids) {
            if (!fts_sql::run(db, kDeleteMetaSql, [&](SqliteStatement& s) { return bindId(s, id); }, error)) return false;
            removed += db.changes();
        }
        return true;
    });
    return ok ? std::optional<int64_t>(removed) : std::nullopt;
}

std::optional<int64_t> MailFtsSqlite::resetIncomplete() {
    int64_t changed = 0;
    const bool ok = inWriteTransaction("resetIncomplete", [&](SqliteDatabase& db, std::string& error) {
        if (!fts_sql::run(db, kResetIncompleteSql, fts_sql::noParameters, error)) return false;
        changed = db.changes();
        return true;
    });
    return ok ? std::optional<int64_t>(changed) : std::nullopt;
}

std::optional<int64_t> MailFtsSqlite::deduplicateByExternalId() {
    int64_t removed = 0;
    const bool ok = inWriteTransaction("deduplicateByExternalId", [&](SqliteDatabase& db, std::string& error) {
        bool selected = false;
        const auto ids = firstColumnTexts(db, kDuplicatesSql, fts_sql::noParameters, selected, error);
        if (!selected) return false;
        for (const std::string& id : ids) {
            std::optional<int64_t> keep;
            if (!fts_sql::run(
                    db, kNewestDocidSql, [&](SqliteStatement& s) { return bindId(s, id); },
                    [&](const SqliteStatement& row) {
                        if (!row.isNull(0)) keep = row.int64At(0);
                    },
                    error)) {
                return false;
            }
            if (!keep) continue;
            if (!fts_sql::run(
                    db, kDeleteOlderSql, [&](SqliteStatement& s) { return bindId(s, id) && s.bind(2, *keep); }, error)) {
                return false;
            }
            removed += db.changes();
        }
        return true;
    });
    return ok ? std::optional<int64_t>(removed) : std::nullopt;
}

std::optional<int64_t> MailFtsSqlite::purgeOrphanPlaceholders() {
    int64_t removed = 0;
    const bool ok = inWriteTransaction("purgeOrphanPlaceholders", [&](SqliteDatabase& db, std::string& error) {
        std::vector<std::string> placeholders;
        if (!fts_sql::run(
                db, kOrphanPlaceholdersSql, fts_sql::noParameters,
                [&](const SqliteStatement& row) { placeholders.push_back(row.textAt(1)); }, error)) {
            return false;
        }
        for (const std::string& id : placeholders) {
            if (!deleteMessage(db, id, error)) return false;
            ++removed;
        }
        return true;
    });
    return ok ? std::optional<int64_t>(removed) : std::nullopt;
}

std::optional<int64_t> MailFtsSqlite::backfillMetaFromFts() {
    if (!ensureOpen()) return std::nullopt;
    std::lock_guard lock(writer_.mutex);
    return backfillLocked(*writer_.db);
}

std::optional<int64_t> MailFtsSqlite::backfillLocked(SqliteDatabase& db) {
    std::string error;
    int64_t missing = 0;
    if (!countOf(db, kMissingMetaCountSql, missing, error)) {
        logFailure("backfillMetaFromFts", error);
        return std::nullopt;
    }
    if (missing <= 0) return 0;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", nowSeconds());
    const std::string sql =
        "INSERT OR IGNORE INTO mailFtsMeta (externalId, indexStatus, attemptCount, lastAttemptedAt)\n"
        "    SELECT f.externalId, 'success', 0, " +
        std::string(seconds) +
        "\n    FROM mailFtsVirtualTable f\n"
        "    LEFT JOIN mailFtsMeta m ON m.externalId = f.externalId\n"
        "    WHERE m.externalId IS NULL";
    if (!db.exec(sql, error)) {
        logFailure("backfillMetaFromFts", error);
        return std::nullopt;
    }
    const int64_t n = db.changes();
    log("MailFtsSqlite: backfilled " + std::to_string(n) + " meta entries from FTS");
    return n;
}

bool MailFtsSqlite::clearAll() {
    if (!ensureOpen()) return false;
    std::lock_guard lock(writer_.mutex);
    std::string error;
    platform::SqliteTransaction transaction(*writer_.db);
    const bool ok = transaction.began() && writer_.db->exec("DELETE FROM mailFtsVirtualTable", error) &&
                    writer_.db->exec("DELETE FROM mailFtsMeta", error) &&
                    writer_.db->exec("DELETE FROM mailFtsCopies", error) &&
                    writer_.db->exec("DELETE FROM mailFtsIndexState", error) && transaction.commit();
    if (!ok) {
        log("MailFtsSqlite clearAll error: " + (error.empty() ? transaction.error() : error));
        return false;
    }
    return true;
}

}  // namespace lumidex::mail
