// The application's own index of mail: one SQLite database ("mail_fts_v9.sqlite") with an FTS4 table
// of one row per message (mailFtsVirtualTable, only its content column is searched) and three
// bookkeeping tables for the indexer: the per-message ledger of indexing attempts (mailFtsMeta), every
// Envelope Index copy of a message (mailFtsCopies) and the one-row index state (mailFtsIndexState).
// A message is identified by its external id: the mail client's document id, or
// "lumidex-internal:rowid=<rowid>" when it has none.
//
// Ownership: the store owns two connections to its file, opened lazily on first use: one that writes
// and one that reads. Opening sets WAL journaling, creates what is missing and backfills ledger rows
// for full-text rows that have none. A file that cannot be opened or read (damaged, not a database)
// is logged and left as it is: the store stays closed and answers everything with nothing.
//
// Thread-safety: every member may be called from any thread. Writes are serialised on the writing
// connection and are meant for one writer (the indexer). Reads run on the reading connection, so
// searches proceed while a batch is being written and see what was committed before they started.
//
// Failure behaviour: nothing throws (except std::bad_alloc). SQLite errors are logged with the
// operation's prefix ("MailFtsSqlite.<operation> failed: ..."); reads then return empty results.
// Every write reports failure: false, nullopt or a count the caller compares with what it asked for.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/date.h"

namespace lumidex::platform {
class SqliteDatabase;
class SqliteStatement;
}

namespace lumidex::mail {

// The prefix of the external id of a message that has no document id.
inline constexpr std::string_view kPlaceholderExternalIdPrefix = "lumidex-internal:rowid=";

enum class MailIndexStatus { pending, success, empty, failed };
// "pending", "success", "empty", "failed".
std::string_view toText(MailIndexStatus status);
std::optional<MailIndexStatus> mailIndexStatusFromText(std::string_view text);

struct MailUpsertItem {
    std::string externalId;
    std::optional<std::string> subject;
    std::optional<std::string> sender;
    std::optional<std::string> mailbox;  // the mail client's mailbox URL
    std::optional<Date> dateSent;        // stored as 0 when absent
    std::optional<Date> dateReceived;
    std::string content;  // the whole searchable text of the message
};

struct MailSearchHit {
    std::string externalId;
    std::optional<std::string> subject;
    std::optional<std::string> sender;
    std::optional<std::string> mailbox;
    std::optional<Date> dateSent;  // absent when stored as 0
    std::optional<Date> dateReceived;
    std::optional<std::string> snippet;
};

struct MailDetailRecord {
    std::string externalId;
    std::optional<std::string> subject;
    std::optional<std::string> sender;
    std::optional<std::string> mailbox;
    std::optional<Date> dateSent;
    std::optional<Date> dateReceived;
    std::optional<std::string> content;
};

struct MailMetaRecord {
    std::string externalId;
    MailIndexStatus indexStatus = MailIndexStatus::pending;  // an unknown stored word reads as pending
    int64_t attemptCount = 0;
    std::optional<double> emlxMtime;  // seconds since 1970
    double lastAttemptedAt = 0;       // seconds since 1970
    std::optional<std::string> errorReason;
    std::optional<int64_t> envelopeRowid;
};

struct MailIndexState {
    int64_t fingerprintHi = 0;
    int64_t fingerprintLo = 0;
    bool fullyCovered = false;
    std::optional<std::string> dbVersion;
};

// One Envelope Index copy of a message; `resolved` when externalId is the real document id.
struct MailCopy {
    int64_t envelopeRowid = 0;
    std::string externalId;
    std::optional<std::string> mailbox;
    bool resolved = false;
};

// A message's new state as the indexer writes it: its full-text row (none for a message that could not
// be read), its ledger entry and its copy. See MailFtsSqlite::replaceMessages().
struct MailReplacement {
    std::string externalId;
    std::optional<MailUpsertItem> item;  // with the same external id
    MailIndexStatus status = MailIndexStatus::success;
    std::optional<double> emlxMtime;
    std::optional<int64_t> envelopeRowid;
    std::optional<std::string> errorReason;
    std::optional<MailCopy> copy;
};

class MailFtsSqlite {
public:
    using LogSink = std::function<void(std::string_view)>;

    // <application support>/Lumidex/MailIndex/mail_fts_v9.sqlite; empty when the platform gives no
    // application support folder.
    static std::filesystem::path defaultDatabasePath();
    // The process-wide store at defaultDatabasePath(), logging to the application log.
    static MailFtsSqlite& shared();

    // Nothing is opened until the first operation; the folder is created then. `log` defaults to the
    // application log; it is called on the calling thread, so a reader and the writer may call it at
    // the same time.
    explicit MailFtsSqlite(std::filesystem::path databasePath, LogSink log = {});
    ~MailFtsSqlite();
    MailFtsSqlite(const MailFtsSqlite&) = delete;
    MailFtsSqlite& operator=(const MailFtsSqlite&) = delete;

    const std::filesystem::path& databasePath() const { return databasePath_; }
    // Whether opening fills in missing ledger rows (the default). A store that only answers searches
    // turns it off before its first operation: the check reads the whole full-text table, which would
    // cost every command-line search more than the search itself.
    void setBackfillOnOpen(bool backfill) { backfillOnOpen_ = backfill; }
    // Opens the store if that was not tried yet; false when it is closed (see openError()).
    bool ensureOpen();
    // Why the store is closed ("" while open or not yet tried), e.g. "file is not a database".
    std::string openError();

    // Reads -----------------------------------------------------------------------------------------
    // Newest first (by dateReceived). Full-text match on the content; when that finds nothing and the
    // trimmed query has 3 characters or more, a substring match instead (snippet: the first 200
    // characters). `inboxOnly` keeps messages with a resolved copy in a mailbox ending in "/INBOX".
    std::vector<MailSearchHit> search(std::string_view query, int64_t limit, bool inboxOnly);
    // Reopens a closed store first (a store whose opening failed gets another try here).
    std::optional<MailDetailRecord> find(std::string_view externalId);
    std::vector<MailSearchHit> recent(int64_t limit);
    // Messages having a resolved copy whose mailbox is LIKE the pattern (escape character "\").
    std::vector<MailSearchHit> mailsInMailbox(std::string_view mailboxPattern, int64_t limit);
    // Always holds the four status words (0 where none); empty when the store is closed or failed.
    std::map<std::string, int64_t> statusCounts();
    // Ledger rows of `status`, or of every status but success; most recently attempted first.
    std::vector<MailMetaRecord> incompleteRecords(std::optional<MailIndexStatus> status, int64_t limit);
    // These three answer empty when the store cannot be read; READ (when given) tells that apart from
    // an empty store, for callers that would otherwise take a failed read for "nothing indexed".
    std::vector<MailMetaRecord> loadAllMeta(bool* read = nullptr);
    // Ledger rows whose external id starts with `prefix` (one store's messages), read as a range of the
    // key; READ as for loadAllMeta().
    std::vector<MailMetaRecord> metaWithPrefix(std::string_view prefix, bool* read = nullptr);
    std::optional<MailIndexState> getIndexState();
    // Rows not yet successful with fewer than 5 attempts; 0 when closed or failed.
    int64_t actionableIncompleteCount();
    // Rowids of "empty" or "failed" messages tried 5 times or more.
    std::set<int64_t> stalledPlaceholderRowids();
    std::map<std::string, std::optional<std::string>> ftsMailboxes(bool* read = nullptr);
    // Only the messages whose external id starts with `prefix` (one store's), so that the map stays that
    // store's size.
    std::map<std::string, std::optional<std::string>> ftsMailboxes(std::string_view prefix, bool* read);
    // External id -> lowest resolved copy rowid.
    std::map<std::string, int64_t> canonicalRowids(bool* read = nullptr);
    std::set<int64_t> coveredEnvelopeRowids();
    std::optional<int64_t> envelopeRowid(std::string_view externalId);

    // Writes ----------------------------------------------------------------------------------------
    // Inserts every item as a new full-text row in one transaction; returns how many were written (a
    // failing item is logged and skipped; a failing transaction writes none and returns 0). Delete a
    // message's previous row first (deleteByExternalId): this never replaces.
    [[nodiscard]] int64_t upsertBatch(const std::vector<MailUpsertItem>& items);
    // Both are false when no full-text row has that external id, so that text or a mailbox meant for a
    // message not (yet) indexed is not taken as stored.
    // Per message, in one transaction with a savepoint each: the previous full-text rows go (a message
    // without a ledger row has none: rows and ledger are only ever written together, and the opening
    // backfills older rows), the new row (when `item` is set) is inserted, the ledger entry is written as
    // upsertMeta() would and the copy recorded. A message whose statements fail is logged and left as it
    // was. Returns per message whether it was written; all false when the transaction failed. Each
    // external id at most once per call.
    [[nodiscard]] std::vector<bool> replaceMessages(const std::vector<MailReplacement>& messages);
    [[nodiscard]] bool appendContent(std::string_view externalId, std::string_view text);
    [[nodiscard]] bool updateMailbox(std::string_view externalId, std::string_view mailbox);
    // success (and pending) reset the attempt count to 0; empty and failed add one. errorReason is kept
    // only for failed; an absent mtime or rowid keeps the stored one. lastAttemptedAt = now.
    [[nodiscard]] bool upsertMeta(std::string_view externalId, MailIndexStatus status, std::optional<double> emlxMtime,
                                  std::optional<int64_t> envelopeRowid, std::optional<std::string_view> errorReason);
    // setCanonicalRowid() for every message with a resolved copy of the mail client (positive rowid)
    // whose ledger points elsewhere: the lowest such rowid. The number of ledger rows changed.
    [[nodiscard]] std::optional<int64_t> electCanonicalRowids();
    [[nodiscard]] bool setCanonicalRowid(std::string_view externalId, int64_t envelopeRowid);
    [[nodiscard]] bool setIndexState(const MailIndexState& state);
    // All or none, in one transaction. A resolved mapping is never replaced by an unresolved one.
    [[nodiscard]] bool recordCopiesBatch(const std::vector<MailCopy>& copies);

    // Bookkeeping; each returns the number of rows removed or changed, nullopt when it failed (then
    // nothing of it was applied).
    // Copies with a positive rowid (the mail client's) that are not in the live set.
    [[nodiscard]] std::optional<int64_t> pruneCopies(const std::set<int64_t>& liveRowids);
    [[nodiscard]] std::optional<int64_t> deleteMessageIdsWithNoCopies(int64_t limit);
    [[nodiscard]] bool deleteByExternalId(std::string_view externalId);
    // The same for many messages at once, reading the full-text table once: all or none.
    [[nodiscard]] bool deleteByExternalIds(const std::set<std::string>& externalIds);
    // updateMailbox() for many messages, all or none; the number of full-text rows changed (messages
    // without a row are left out), nullopt when it failed.
    [[nodiscard]] std::optional<int64_t> updateMailboxes(const std::map<std::string, std::string>& mailboxes);
    // "empty" rows with 10+ attempts untried for 30 days, "failed" rows untried for 90; 1000 at most.
    [[nodiscard]] std::optional<int64_t> cleanupStaleMeta();
    [[nodiscard]] std::optional<int64_t> resetIncomplete();
    [[nodiscard]] std::optional<int64_t> deduplicateByExternalId();
    [[nodiscard]] std::optional<int64_t> purgeOrphanPlaceholders();
    // Adds a "success" ledger row for every full-text row without one (run once at opening).
    [[nodiscard]] std::optional<int64_t> backfillMetaFromFts();
    [[nodiscard]] bool clearAll();

private:
    struct Connection {
        std::mutex mutex;
        std::unique_ptr<platform::SqliteDatabase> db;
    };

    // Under openMutex_.
    bool openLocked();
    void log(std::string_view line) const;
    // Logs "MailFtsSqlite.<operation> failed: <error>" (or "... failed for <id>: ...").
    void logFailure(std::string_view operation, const std::string& error, std::string_view externalId = {}) const;
    using ReadBody = std::function<bool(platform::SqliteDatabase&, std::string& error)>;
    using WriteBody = std::function<bool(platform::SqliteDatabase&, std::string& error)>;
    // Runs `body` on the reading connection; a false return is logged as the operation's failure.
    bool withReader(std::string_view operation, const ReadBody& body);
    // Runs `body` on the writing connection inside one transaction, committed only when it returns
    // true; any failure is logged as the operation's failure and rolled back.
    bool inWriteTransaction(std::string_view operation, const WriteBody& body, std::string_view externalId = {});
    // Hits of `sql` on the reading connection; a failure is logged as errorPrefix + error.
    std::vector<MailSearchHit> readHits(std::string_view errorPrefix, std::string_view sql,
                                        const std::function<bool(platform::SqliteStatement&)>& bind,
                                        bool* failed = nullptr);
    std::optional<int64_t> backfillLocked(platform::SqliteDatabase& db);

    std::filesystem::path databasePath_;
    LogSink log_;
    std::mutex openMutex_;
    bool backfillOnOpen_ = true;
    bool openTried_ = false;
    std::string openError_;
    Connection writer_;
    Connection reader_;
};

}  // namespace lumidex::mail
