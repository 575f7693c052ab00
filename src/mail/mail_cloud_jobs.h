// The queue of office attachments waiting for the cloud conversion service: one SQLite database
// ("mail_cloud_jobs.sqlite", WAL) with one table, mailCloudJobs, one row per staged attachment. A job
// runs pending → uploading → polling → downloaded → merged; it may end failed (with its reason) or
// notSupported (cancelled by the user). Times are seconds since 1970.
//
// Ownership: the store owns one connection to its file, opened (and the folder created) on first use.
// A file that cannot be opened is logged and the store answers everything with nothing; the next
// operation tries to open it again.
//
// Thread-safety: every member may be called from any thread; operations are serialised on the one
// connection.
//
// Failure behaviour: nothing throws (except std::bad_alloc). SQLite errors are logged as
// "MailCloudJobsSqlite.<operation> failed: <error>" (or "... failed for <name>: <error>"); reads then
// answer empty, writes false or nullopt, so no caller takes a failed write for done.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumidex::platform {
class SqliteDatabase;
class SqliteStatement;
}

namespace lumidex::mail {

enum class MailCloudJobStatus { pending, uploading, polling, downloaded, merged, failed, notSupported };
// "pending", "uploading", "polling", "downloaded", "merged", "failed", "notSupported".
std::string_view toText(MailCloudJobStatus status);
std::optional<MailCloudJobStatus> mailCloudJobStatusFromText(std::string_view text);

struct MailCloudJob {
    int64_t jobLocalId = 0;
    std::string externalId;  // the message the attachment belongs to
    std::optional<std::string> attachmentName;
    int64_t attachmentSize = 0;
    std::string stagedPath;  // the staged copy of the attachment
    std::optional<std::string> kadoroJobId;
    MailCloudJobStatus status = MailCloudJobStatus::pending;  // an unknown stored word reads as failed
    int64_t attemptCount = 0;
    double createdAt = 0;
    double updatedAt = 0;
    std::optional<std::string> errorReason;
};

class MailCloudJobsSqlite {
public:
    using LogSink = std::function<void(std::string_view)>;
    using Clock = std::function<double()>;  // seconds since 1970

    // <application support>/Lumidex/mail_cloud_jobs.sqlite; empty when the platform gives no
    // application support folder.
    static std::filesystem::path defaultDatabasePath();
    // The process-wide store at defaultDatabasePath(), logging to the application log.
    static MailCloudJobsSqlite& shared();

    // `log` defaults to the application log, `now` to the system clock.
    explicit MailCloudJobsSqlite(std::filesystem::path databasePath, LogSink log = {}, Clock now = {});
    ~MailCloudJobsSqlite();
    MailCloudJobsSqlite(const MailCloudJobsSqlite&) = delete;
    MailCloudJobsSqlite& operator=(const MailCloudJobsSqlite&) = delete;

    const std::filesystem::path& databasePath() const { return databasePath_; }
    // Opens the store when it is not open yet; false when that failed.
    bool ensureOpen();

    // Reads -----------------------------------------------------------------------------------------
    // Whether a job that has neither failed nor been merged exists for this attachment (same message,
    // name and size); an absent name matches only an absent name. nullopt when the store could not be read.
    std::optional<bool> exists(std::string_view externalId, const std::optional<std::string>& attachmentName,
                               int64_t attachmentSize);
    // Pending jobs, longest waiting first.
    std::vector<MailCloudJob> nextJobs(int64_t limit);
    // Jobs of `status` (every job when absent), most recently updated first; a negative limit is none.
    std::vector<MailCloudJob> allJobs(std::optional<MailCloudJobStatus> status = std::nullopt, int64_t limit = -1);
    std::optional<MailCloudJob> job(int64_t jobLocalId);
    // Every status word with its count (0 where none); empty when the store could not be read.
    std::map<std::string, int64_t> statusCounts();

    // Writes ----------------------------------------------------------------------------------------
    // Inserts a pending job and answers its id, unless exists() holds for the attachment (checked in
    // the same transaction): then the existing job is kept and the answer is nullopt with `duplicate`
    // set. A merged job of the attachment is set back to pending (with `stagedPath`) instead of a new
    // one. nullopt without `duplicate` when the write failed.
    [[nodiscard]] std::optional<int64_t> enqueue(std::string_view externalId,
                                                 const std::optional<std::string>& attachmentName,
                                                 int64_t attachmentSize, std::string_view stagedPath,
                                                 bool* duplicate = nullptr);
    // Status "polling" with the service's job id. False when the write failed or no such job exists.
    [[nodiscard]] bool markPolling(int64_t jobLocalId, std::string_view kadoroJobId);
    // Status "failed" with `reason`; the attempt count goes up by one.
    [[nodiscard]] bool markFailed(int64_t jobLocalId, std::string_view reason);
    // Writes the job's status, kadoroJobId, attemptCount, errorReason and stagedPath (by jobLocalId);
    // updatedAt becomes now. False when the write failed or no such job exists.
    [[nodiscard]] bool update(const MailCloudJob& job);

    // Bookkeeping; each answers the number of rows changed, nullopt when it failed (then nothing of it
    // was applied).
    // Failed jobs back to pending with no attempts and no reason.
    [[nodiscard]] std::optional<int64_t> resetFailed();
    // Pending jobs become notSupported with "user cancelled".
    [[nodiscard]] std::optional<int64_t> cancelPending();
    // After a restart: jobs left uploading are pending again, and so are failed jobs with fewer than
    // `maxAttempts` attempts (their reason cleared).
    [[nodiscard]] std::optional<int64_t> recoverStuckJobs(int64_t maxAttempts);
    // Deletes merged jobs last updated more than `maxAgeSeconds` ago.
    [[nodiscard]] std::optional<int64_t> purgeMerged(double maxAgeSeconds);

private:
    using Body = std::function<bool(platform::SqliteDatabase&, std::string& error)>;
    // Runs `body` on the open connection under the lock (inside one transaction when `write`); a false
    // return is logged as the operation's failure (with `name` when given) and rolled back.
    bool run(std::string_view operation, bool write, const Body& body, std::string_view name = {});
    // Under mutex_.
    bool openLocked();
    void log(std::string_view line) const;
    double now() const;
    using Bind = std::function<bool(platform::SqliteStatement&)>;
    // Runs the statements in one transaction; the rows they changed together.
    std::optional<int64_t> changeRows(std::string_view operation,
                                      const std::vector<std::pair<std::string_view, Bind>>& statements);
    std::vector<MailCloudJob> readJobs(std::string_view operation, std::string_view sql, const Bind& bind);

    std::filesystem::path databasePath_;
    LogSink log_;
    Clock now_;
    std::mutex mutex_;
    std::unique_ptr<platform::SqliteDatabase> db_;
};

}  // namespace lumidex::mail
