// Bulk variants of deleteByExternalId and updateMailbox. The full-text table has no index on the
// external id, so a statement per message reads the whole table each time; these read it once for the
// docids of every message concerned and then address rows by docid.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "mail/mail_fts.h"
#include "mail/mail_fts_sql.h"

namespace lumidex::mail {

namespace {

using platform::SqliteDatabase;
using platform::SqliteStatement;

constexpr const char* kDocidsSql = "SELECT docid, externalId FROM mailFtsVirtualTable";
constexpr const char* kDeleteRowByDocidSql = "DELETE FROM mailFtsVirtualTable WHERE docid = ?";
constexpr const char* kMailboxByDocidSql = "UPDATE mailFtsVirtualTable SET mailbox = ? WHERE docid = ?";
constexpr const char* kDeleteMetaSql = "DELETE FROM mailFtsMeta WHERE externalId = ?";
constexpr const char* kDeleteCopiesSql = "DELETE FROM mailFtsCopies WHERE externalId = ?";

// (docid, external id) of the full-text rows whose external id is wanted.
bool rowsOf(SqliteDatabase& db, const std::function<bool(const std::string&)>& wanted,
            std::vector<std::pair<int64_t, std::string>>& out, std::string& error) {
    return fts_sql::run(
        db, kDocidsSql, fts_sql::noParameters,
        [&](const SqliteStatement& row) {
            std::string id = row.textAt(1);
            if (wanted(id)) out.emplace_back(row.int64At(0), std::move(id));
        },
        error);
}

}  // namespace

bool MailFtsSqlite::deleteByExternalIds(const std::set<std::string>& externalIds) {
    if (externalIds.empty()) return true;
    return inWriteTransaction("deleteByExternalIds", [&](SqliteDatabase& db, std::string& error) {
        std::vector<std::pair<int64_t, std::string>> rows;
        if (!rowsOf(db, [&](const std::string& id) { return externalIds.contains(id); }, rows, error)) return false;
        for (const auto& [docid, id] : rows) {
            if (!fts_sql::run(db, kDeleteRowByDocidSql, [&](SqliteStatement& s) { return s.bind(1, docid); }, error)) {
                return false;
            }
        }
        for (const std::string& id : externalIds) {
            const auto bind = [&](SqliteStatement& s) { return s.bind(1, std::string_view(id)); };
            if (!fts_sql::run(db, kDeleteMetaSql, bind, error) || !fts_sql::run(db, kDeleteCopiesSql, bind, error)) {
                return false;
            }
        }
        return true;
    });
}

std::optional<int64_t> MailFtsSqlite::updateMailboxes(const std::map<std::string, std::string>& mailboxes) {
    if (mailboxes.empty()) return 0;
    int64_t changed = 0;
    const bool ok = inWriteTransaction("updateMailboxes", [&](SqliteDatabase& db, std::string& error) {
        std::vector<std::pair<int64_t, std::string>> rows;
        if (!rowsOf(db, [&](const std::string& id) { return mailboxes.contains(id); }, rows, error)) return false;
        for (const auto& [docid, id] : rows) {
            const std::string& mailbox = mailboxes.at(id);
            const auto bind = [&](SqliteStatement& s) { return s.bind(1, std::string_view(mailbox)) && s.bind(2, docid); };
            if (!fts_sql::run(db, kMailboxByDocidSql, bind, error)) return false;
            changed += db.changes();
        }
        return true;
    });
    return ok ? std::optional<int64_t>(changed) : std::nullopt;
}

}  // namespace lumidex::mail
