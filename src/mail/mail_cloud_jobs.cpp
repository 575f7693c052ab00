#include "mail/mail_cloud_jobs.h"

#include <chrono>
#include <system_error>

#include "core/app_log.h"
#include "mail/mail_fts_sql.h"
#include "platform/paths.h"
#include "platform/sqlite.h"

namespace lumidex::mail {

using platform::SqliteDatabase;
using platform::SqliteStatement;

namespace {

constexpr const char* kCreateSql =
    "CREATE TABLE IF NOT EXISTS mailCloudJobs (\n"
    "    jobLocalId INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "    externalId TEXT NOT NULL,\n"
    "    attachmentName TEXT,\n"
    "    attachmentSize INTEGER NOT NULL DEFAULT 0,\n"
    "    stagedPath TEXT NOT NULL,\n"
    "    kadoroJobId TEXT,\n"
    "    status TEXT NOT NULL,\n"
    "    attemptCount INTEGER NOT NULL DEFAULT 0,\n"
    "    createdAt REAL NOT NULL,\n"
    "    updatedAt REAL NOT NULL,\n"
    "    errorReason TEXT\n"
    ");\n"
    "CREATE INDEX IF NOT EXISTS idx_mailcloud_status ON mailCloudJobs(status, updatedAt);\n"
    "CREATE INDEX IF NOT EXISTS idx_mailcloud_externalId ON mailCloudJobs(externalId);";

constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kExistsSql =
    "SELECT COUNT(*) FROM mailCloudJobs\n"
    "    WHERE externalId = ?\n"
    "      AND (attachmentName = ? OR (attachmentName IS NULL AND ? IS NULL))\n"
    "      AND attachmentSize = ?\n"
    "      AND status NOT IN ('failed', 'merged')";

// A message read again has lost the text merged into it: its merged job is converted and merged again.
constexpr const char* kRequeueMergedSql =
    "UPDATE mailCloudJobs SET status = 'pending', stagedPath = ?, kadoroJobId = NULL, attemptCount = 0,\n"
    "                         errorReason = NULL, updatedAt = ?\n"
    "    WHERE jobLocalId = (SELECT MAX(jobLocalId) FROM mailCloudJobs\n"
    "                        WHERE externalId = ?\n"
    "                          AND (attachmentName = ? OR (attachmentName IS NULL AND ? IS NULL))\n"
    "                          AND attachmentSize = ? AND status = 'merged')\n"
    "    RETURNING jobLocalId";

constexpr const char* kInsertSql =
    "INSERT INTO mailCloudJobs\n"
    "    (externalId, attachmentName, attachmentSize, stagedPath, status, attemptCount, createdAt, updatedAt)\n"
    "    VALUES (?, ?, ?, ?, 'pending', 0, ?, ?)";

constexpr const char* kJobColumns =
    "SELECT jobLocalId, externalId, attachmentName, attachmentSize, stagedPath, kadoroJobId,\n"
    "       status, attemptCount, createdAt, updatedAt, errorReason\n"
    "    FROM mailCloudJobs";

constexpr const char* kMarkPollingSql =
    "UPDATE mailCloudJobs SET status = 'polling', kadoroJobId = ?, updatedAt = ?\n"
    "    WHERE jobLocalId = ?";

constexpr const char* kMarkFailedSql =
    "UPDATE mailCloudJobs\n"
    "    SET status = 'failed', errorReason = ?, attemptCount = attemptCount + 1, updatedAt = ?\n"
    "    WHERE jobLocalId = ?";

constexpr const char* kUpdateSql =
    "UPDATE mailCloudJobs\n"
    "    SET status = ?, kadoroJobId = ?, attemptCount = ?, errorReason = ?, stagedPath = ?, updatedAt = ?\n"
    "    WHERE jobLocalId = ?";

constexpr const char* kStatusCountsSql = "SELECT status, COUNT(*) FROM mailCloudJobs GROUP BY status";

constexpr const char* kResetFailedSql =
    "UPDATE mailCloudJobs\n"
    "    SET status = 'pending', attemptCount = 0,\n"
    "        errorReason = NULL, updatedAt = ?\n"
    "    WHERE status = 'failed'";

constexpr const char* kCancelPendingSql =
    "UPDATE mailCloudJobs\n"
    "    SET status = 'notSupported', errorReason = 'user cancelled',\n"
    "        updatedAt = ?\n"
    "    WHERE status = 'pending'";

constexpr const char* kRecoverUploadingSql =
    "UPDATE mailCloudJobs SET status = 'pending', updatedAt = ?\n"
    "    WHERE status = 'uploading'";

constexpr const char* kRecoverFailedSql =
    "UPDATE mailCloudJobs SET status = 'pending', errorReason = NULL, updatedAt = ?\n"
    "    WHERE status = 'failed' AND attemptCount < ?";

constexpr const char* kPurgeMergedSql =
    "DELETE FROM mailCloudJobs\n"
    "    WHERE status = 'merged' AND updatedAt < ?";

constexpr MailCloudJobStatus kAllStatuses[] = {
    MailCloudJobStatus::pending, MailCloudJobStatus::uploading, MailCloudJobStatus::polling,
    MailCloudJobStatus::downloaded, MailCloudJobStatus::merged, MailCloudJobStatus::failed,
    MailCloudJobStatus::notSupported};

MailCloudJob jobOf(const SqliteStatement& row) {
    MailCloudJob job;
    job.jobLocalId = row.int64At(0);
    job.externalId = row.textAt(1);
    job.attachmentName = row.optionalTextAt(2);
    job.attachmentSize = row.int64At(3);
    job.stagedPath = row.textAt(4);
    job.kadoroJobId = row.optionalTextAt(5);
    // A word this version does not know is not worked on again.
    job.status = mailCloudJobStatusFromText(row.textAt(6)).value_or(MailCloudJobStatus::failed);
    job.attemptCount = row.int64At(7);
    job.createdAt = row.doubleAt(8);
    job.updatedAt = row.doubleAt(9);
    job.errorReason = row.optionalTextAt(10);
    return job;
}

}  // namespace

std::string_view toText(MailCloudJobStatus status) {
    switch (status) {
        case MailCloudJobStatus::pending: return "pending";
        case MailCloudJobStatus::uploading: return "uploading";
        case MailCloudJobStatus::polling: return "polling";
        case MailCloudJobStatus::downloaded: return "downloaded";
        case MailCloudJobStatus::merged: return "merged";
        case MailCloudJobStatus::failed: return "failed";
        case MailCloudJobStatus::notSupported: return "notSupported";
    }
    return "failed";
}

std::optional<MailCloudJobStatus> mailCloudJobStatusFromText(std::string_view text) {
    for (const auto status : kAllStatuses) {
        if (toText(status) == text) return status;
    }
    return std::nullopt;
}

std::filesystem::path MailCloudJobsSqlite::defaultDatabasePath() {
    const auto support = platform::userDirectories().applicationSupport;
    if (support.empty()) return {};
    return support / "Lumidex" / "mail_cloud_jobs.sqlite";
}

MailCloudJobsSqlite& MailCloudJobsSqlite::shared() {
    static MailCloudJobsSqlite store(defaultDatabasePath());
    return store;
}

MailCloudJobsSqlite::MailCloudJobsSqlite(std::filesystem::path databasePath, LogSink log, Clock now)
    : databasePath_(std::move(databasePath)), log_(std::move(log)), now_(std::move(now)) {}

MailCloudJobsSqlite::~MailCloudJobsSqlite() = default;

void MailCloudJobsSqlite::log(std::string_view line) const {
    if (log_) log_(line);
    else appLog(line);
}

double MailCloudJobsSqlite::now() const {
    if (now_) return now_();
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool MailCloudJobsSqlite::ensureOpen() {
    std::lock_guard lock(mutex_);
    return openLocked();
}

bool MailCloudJobsSqlite::openLocked() {
    if (db_) return true;
    if (databasePath_.empty()) {
        log("MailCloudJobsSqlite: applicationSupport not available");
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(databasePath_.parent_path(), ec);
    if (ec) {
        log("MailCloudJobsSqlite.open failed: " + ec.message());
        return false;
    }
    std::string error;
    auto db = SqliteDatabase::open(databasePath_, error);
    if (db) {
        db->setBusyTimeout(kBusyTimeoutMs);
        if (db->exec("PRAGMA journal_mode=WAL", error) && db->exec(kCreateSql, error)) {
            db_ = std::move(db);
            return true;
        }
    }
    log("MailCloudJobsSqlite.open failed: " + error);
    return false;
}

bool MailCloudJobsSqlite::run(std::string_view operation, bool write, const Body& body, std::string_view name) {
    std::lock_guard lock(mutex_);
    if (!openLocked()) return false;
    std::string error;
    bool ok = false;
    if (write) {
        platform::SqliteTransaction transaction(*db_);
        if (!transaction.began()) error = transaction.error();
        else if (body(*db_, error)) {
            ok = transaction.commit();
            if (!ok) error = transaction.error();
        }
    } else {
        ok = body(*db_, error);
    }
    if (!ok) {
        std::string line = "MailCloudJobsSqlite." + std::string(operation) + " failed";
        if (!name.empty()) line += " for " + std::string(name);
        log(line + ": " + (error.empty() ? "unknown error" : error));
    }
    return ok;
}

std::vector<MailCloudJob> MailCloudJobsSqlite::readJobs(std::string_view operation, std::string_view sql,
                                                        const Bind& bind) {
    std::vector<MailCloudJob> jobs;
    const bool ok = run(operation, false, [&](SqliteDatabase& db, std::string& error) {
        return fts_sql::run(db, sql, bind, [&](const SqliteStatement& row) { jobs.push_back(jobOf(row)); }, error);
    });
    if (!ok) return {};
    return jobs;
}

std::optional<int64_t> MailCloudJobsSqlite::changeRows(std::string_view operation,
                                                       const std::vector<std::pair<std::string_view, Bind>>& statements) {
    int64_t changed = 0;
    const bool ok = run(operation, true, [&](SqliteDatabase& db, std::string& error) {
        for (const auto& [sql, bind] : statements) {
            if (!fts_sql::run(db, sql, bind, error)) return false;
            changed += db.changes();
        }
        return true;
    });
    if (!ok) return std::nullopt;
    return changed;
}

std::optional<bool> MailCloudJobsSqlite::exists(std::string_view externalId,
                                                const std::optional<std::string>& attachmentName,
                                                int64_t attachmentSize) {
    int64_t count = 0;
    const auto bind = [&](SqliteStatement& s) {
        return s.bind(1, externalId) && fts_sql::bindOptional(s, 2, attachmentName) &&
               fts_sql::bindOptional(s, 3, attachmentName) && s.bind(4, attachmentSize);
    };
    const bool ok = run("exists", false, [&](SqliteDatabase& db, std::string& error) {
        return fts_sql::run(db, kExistsSql, bind, [&](const SqliteStatement& row) { count = row.int64At(0); }, error);
    }, attachmentName.value_or(""));
    if (!ok) return std::nullopt;
    return count > 0;
}

std::vector<MailCloudJob> MailCloudJobsSqlite::nextJobs(int64_t limit) {
    const std::string sql =
        std::string(kJobColumns) + "\n    WHERE status = 'pending'\n    ORDER BY updatedAt ASC, jobLocalId ASC\n    LIMIT ?";
    return readJobs("nextJobs", sql, [&](SqliteStatement& s) { return s.bind(1, limit); });
}

std::vector<MailCloudJob> MailCloudJobsSqlite::allJobs(std::optional<MailCloudJobStatus> status, int64_t limit) {
    const std::string sql = std::string(kJobColumns) + (status ? "\n    WHERE status = ?" : "") +
                            "\n    ORDER BY updatedAt DESC, jobLocalId DESC\n    LIMIT ?";
    return readJobs("allJobs", sql, [&](SqliteStatement& s) {
        if (!status) return s.bind(1, limit);
        return s.bind(1, toText(*status)) && s.bind(2, limit);
    });
}

std::optional<MailCloudJob> MailCloudJobsSqlite::job(int64_t jobLocalId) {
    const std::string sql = std::string(kJobColumns) + "\n    WHERE jobLocalId = ?";
    auto jobs = readJobs("job", sql, [&](SqliteStatement& s) { return s.bind(1, jobLocalId); });
    if (jobs.empty()) return std::nullopt;
    return std::move(jobs.front());
}

std::map<std::string, int64_t> MailCloudJobsSqlite::statusCounts() {
    std::map<std::string, int64_t> counts;
    for (const auto status : kAllStatuses) counts[std::string(toText(status))] = 0;
    const bool ok = run("statusCounts", false, [&](SqliteDatabase& db, std::string& error) {
        return fts_sql::run(db, kStatusCountsSql, fts_sql::noParameters,
                            [&](const SqliteStatement& row) { counts[row.textAt(0)] = row.int64At(1); }, error);
    });
    if (!ok) return {};
    return counts;
}

std::optional<int64_t> MailCloudJobsSqlite::enqueue(std::string_view externalId,
                                                    const std::optional<std::string>& attachmentName,
                                                    int64_t attachmentSize, std::string_view stagedPath,
                                                    bool* duplicate) {
    if (duplicate != nullptr) *duplicate = false;
    bool found = false;
    int64_t id = 0;
    const double at = now();
    const bool ok = run("enqueue", true, [&](SqliteDatabase& db, std::string& error) {
        int64_t count = 0;
        const auto bindExists = [&](SqliteStatement& s) {
            return s.bind(1, externalId) && fts_sql::bindOptional(s, 2, attachmentName) &&
                   fts_sql::bindOptional(s, 3, attachmentName) && s.bind(4, attachmentSize);
        };
        if (!fts_sql::run(db, kExistsSql, bindExists, [&](const SqliteStatement& row) { count = row.int64At(0); },
                          error)) {
            return false;
        }
        if (count > 0) {
            found = true;
            return true;
        }
        const auto bindRequeue = [&](SqliteStatement& s) {
            return s.bind(1, stagedPath) && s.bind(2, at) && s.bind(3, externalId) &&
                   fts_sql::bindOptional(s, 4, attachmentName) && fts_sql::bindOptional(s, 5, attachmentName) &&
                   s.bind(6, attachmentSize);
        };
        bool requeued = false;
        if (!fts_sql::run(db, kRequeueMergedSql, bindRequeue,
                          [&](const SqliteStatement& row) {
                              id = row.int64At(0);
                              requeued = true;
                          },
                          error)) {
            return false;
        }
        if (requeued) return true;
        const auto bindInsert = [&](SqliteStatement& s) {
            return s.bind(1, externalId) && fts_sql::bindOptional(s, 2, attachmentName) &&
                   s.bind(3, attachmentSize) && s.bind(4, stagedPath) && s.bind(5, at) && s.bind(6, at);
        };
        if (!fts_sql::run(db, kInsertSql, bindInsert, error)) return false;
        id = db.lastInsertRowId();
        return true;
    }, attachmentName.value_or(""));
    if (!ok) return std::nullopt;
    if (found) {
        if (duplicate != nullptr) *duplicate = true;
        return std::nullopt;
    }
    return id;
}

bool MailCloudJobsSqlite::markPolling(int64_t jobLocalId, std::string_view kadoroJobId) {
    const double at = now();
    const auto changed = changeRows("markPolling", {{kMarkPollingSql, [&](SqliteStatement& s) {
        return s.bind(1, kadoroJobId) && s.bind(2, at) && s.bind(3, jobLocalId);
    }}});
    return changed.value_or(0) == 1;
}

bool MailCloudJobsSqlite::markFailed(int64_t jobLocalId, std::string_view reason) {
    const double at = now();
    const auto changed = changeRows("markFailed", {{kMarkFailedSql, [&](SqliteStatement& s) {
        return s.bind(1, reason) && s.bind(2, at) && s.bind(3, jobLocalId);
    }}});
    return changed.value_or(0) == 1;
}

bool MailCloudJobsSqlite::update(const MailCloudJob& job) {
    const double at = now();
    const auto changed = changeRows("update", {{kUpdateSql, [&](SqliteStatement& s) {
        return s.bind(1, toText(job.status)) && fts_sql::bindOptional(s, 2, job.kadoroJobId) &&
               s.bind(3, job.attemptCount) && fts_sql::bindOptional(s, 4, job.errorReason) &&
               s.bind(5, std::string_view(job.stagedPath)) && s.bind(6, at) && s.bind(7, job.jobLocalId);
    }}});
    return changed.value_or(0) == 1;
}

std::optional<int64_t> MailCloudJobsSqlite::resetFailed() {
    const double at = now();
    return changeRows("resetFailed", {{kResetFailedSql, [&](SqliteStatement& s) { return s.bind(1, at); }}});
}

std::optional<int64_t> MailCloudJobsSqlite::cancelPending() {
    const double at = now();
    return changeRows("cancelPending", {{kCancelPendingSql, [&](SqliteStatement& s) { return s.bind(1, at); }}});
}

std::optional<int64_t> MailCloudJobsSqlite::recoverStuckJobs(int64_t maxAttempts) {
    const double at = now();
    return changeRows("recoverStuckJobs",
                      {{kRecoverUploadingSql, [&](SqliteStatement& s) { return s.bind(1, at); }},
                       {kRecoverFailedSql, [&](SqliteStatement& s) { return s.bind(1, at) && s.bind(2, maxAttempts); }}});
}

std::optional<int64_t> MailCloudJobsSqlite::purgeMerged(double maxAgeSeconds) {
    const double cutoff = now() - maxAgeSeconds;
    return changeRows("purgeMerged", {{kPurgeMergedSql, [&](SqliteStatement& s) { return s.bind(1, cutoff); }}});
}

}  // namespace lumidex::mail
