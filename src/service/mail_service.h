// What the mail routes of the local API (and the MCP mail tools through them) ask of the mail subsystem:
// reading the mail index (search, recent, inbox, one message's detail and body), its status and
// maintenance, the queue of office attachments for the cloud service, and read-only diagnostics of a
// mail client's store (its Envelope Index and message files below the configured mail folder).
//
// Answers are the API's records as JSON objects with their fields in order; a request that cannot be
// served is answered with nullopt and a Refusal (bad request, not found, internal). Index runs, their live
// figures and the attachment worker belong to the long-lived mail indexer: they are reached through
// MailIndexControl, whose members may be left empty (then nothing runs and the figures read as zero).
//
// Ownership and threads: the stores and the settings are borrowed and must outlive the service; every
// member may be called from any thread (the stores and settings are thread-safe; the mail client's store
// is opened afresh per request, read-only). Nothing here writes to a mail store. A failed store or
// settings write is answered as an internal refusal, never as done.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/index_lookup.h"

namespace lumidex {
class SettingsStore;
}

namespace lumidex::mail {
class MailCloudJobsSqlite;
class MailFtsSqlite;
}  // namespace lumidex::mail

namespace lumidex::service {

using MailJson = nlohmann::ordered_json;

// Settings of the mail indexer that the mail routes change.
inline constexpr std::string_view kMailRootKey = "mailRootBookmark";  // the mail folder's path
inline constexpr std::string_view kMailAccountFilterKey = "mailIndexedAccountUuids";
inline constexpr std::string_view kMailOcrSizeLimitKey = "mailIndexOcrSizeLimitMB";
inline constexpr std::string_view kMailForceRunOnceKey = "mailIndexForceRunOnce";
inline constexpr std::string_view kMailLastSeenRowidKey = "mailIndexLastSeenRowid";
inline constexpr int64_t kDefaultMailOcrSizeLimitMb = 20;

// Live figures of the running mail indexer.
struct MailIndexerFigures {
    bool isIndexing = false;
    int64_t indexedCountSession = 0;
    int64_t attachmentsWithTextSession = 0;
    std::optional<std::string> lastIndexedSubject;
    int64_t processedCount = 0;
    int64_t extractFailedCount = 0;
    int64_t filteredCount = 0;
    int64_t upsertFailedCount = 0;
    int64_t coverageEnvelope = 0;
    int64_t coverageMissing = 0;
    std::optional<std::string> streamEnd;
    int64_t lastBatchIndex = 0;
    int64_t lastBatchSize = 0;
    int64_t lastBatchLastRowid = 0;
};

// The long-lived mail indexer as the routes steer it. Members are called on handler threads and must
// not block for long (a run is requested, not waited for).
struct MailIndexControl {
    // Asks for a run (`force`: skip the fast path; `restart`: the run starts from the mail client's first
    // message); false when none could be started or queued.
    std::function<bool(bool force, bool restart)> requestRun;
    // Starts or stops the indexer's triggers after "mailSourceEnabled" changed.
    std::function<void(bool enabled)> setEnabled;
    std::function<MailIndexerFigures()> figures;
    // One step of the attachment worker now: the jobs it took; nullopt when it could not run.
    std::function<std::optional<int64_t>()> cloudTick;
    std::function<bool()> cloudReady;  // the cloud conversion service can take jobs
};

struct MailSetupRequest {
    std::optional<std::string> mailRoot;
    std::optional<std::vector<int64_t>> accountRowids;
    std::optional<int64_t> ocrLimitMb;
    std::optional<bool> clearIndex;
    std::optional<bool> enable;
};

struct MailServiceOptions {
    MailIndexControl control;
    // The default mail folder is <home>/Library/Mail; empty: the user's home.
    std::filesystem::path home;
};

class MailService {
public:
    MailService(mail::MailFtsSqlite& fts, mail::MailCloudJobsSqlite& jobs, SettingsStore& settings,
                MailServiceOptions options = {});

    // The mail folder: the stored one, else <home>/Library/Mail.
    std::filesystem::path mailRoot() const;

    // Index -----------------------------------------------------------------------------------------
    MailJson status();
    MailJson recent(std::optional<int64_t> limit);  // 20 by default, 1..200
    MailJson inbox(std::optional<int64_t> limit);   // 20 by default, 1..200
    // `query` of at least 2 characters; 50 results by default, 1..500.
    std::optional<MailJson> search(std::string_view query, std::optional<int64_t> limit, bool inboxOnly,
                                   Refusal& refusal);
    std::optional<MailJson> detail(const std::optional<std::string>& externalId, Refusal& refusal);
    // The message's own text and, with `includeQuoted`, the quoted earlier messages; at most `maxChars`
    // characters of text (> 0) when given.
    std::optional<MailJson> body(const std::optional<std::string>& externalId, bool includeQuoted,
                                 std::optional<int64_t> maxChars, Refusal& refusal);

    // Maintenance -----------------------------------------------------------------------------------
    std::optional<MailJson> setup(const MailSetupRequest& request, Refusal& refusal);
    std::optional<MailJson> disable(Refusal& refusal);
    std::optional<MailJson> clearIndex(Refusal& refusal);
    std::optional<MailJson> reindex(bool restart, Refusal& refusal);
    MailJson indexStatus();
    // `status` one of "pending", "success", "empty", "failed" (none: every status but success);
    // 50 rows by default, 1..500.
    std::optional<MailJson> incomplete(const std::optional<std::string>& status, std::optional<int64_t> limit,
                                       Refusal& refusal);
    std::optional<MailJson> retryIncomplete(Refusal& refusal);
    std::optional<MailJson> cleanupStale(Refusal& refusal);

    // Office attachments in the cloud queue ------------------------------------------------------------
    // `status` one of the job status words; 100 jobs by default, 1..500.
    std::optional<MailJson> cloudJobs(const std::optional<std::string>& status, std::optional<int64_t> limit,
                                      Refusal& refusal);
    std::optional<MailJson> cloudRetry(Refusal& refusal);
    std::optional<MailJson> cloudCancel(Refusal& refusal);
    std::optional<MailJson> cloudTick(Refusal& refusal);

    // The mail client's store (mail_diagnostics.cpp) -------------------------------------------------
    std::optional<MailJson> mailboxes(Refusal& refusal);
    std::optional<MailJson> schema(Refusal& refusal);
    std::optional<MailJson> peek(int64_t rowid, Refusal& refusal);
    // Entries of <mail root>/<subpath>, 200 at most; the subpath must stay inside the mail folder.
    std::optional<MailJson> tree(const std::string& subpath, Refusal& refusal);
    std::optional<MailJson> findEmlx(int64_t rowid, Refusal& refusal);
    std::optional<MailJson> debugExtract(int64_t rowid, Refusal& refusal);
    std::optional<MailJson> debugEnumerate(int64_t since, std::optional<int64_t> limit, Refusal& refusal);
    std::optional<MailJson> findRowid(const std::string& subjectLike, Refusal& refusal);

private:
    // Empties the mail index and forgets the local stores' listings; false (with `refusal`) on failure.
    bool clearMailIndex(Refusal& refusal);
    bool requestRun(bool force, bool restart = false);

    mail::MailFtsSqlite& fts_;
    mail::MailCloudJobsSqlite& jobs_;
    SettingsStore& settings_;
    MailServiceOptions options_;
};

// The message's own text and the quoted earlier messages of a stored mail text: quoting starts at a
// line "-----Original Message-----" (or its German form) or at an attribution line ("On … wrote:",
// "Am … schrieb …:") that a quoted line follows; before that, lines starting with ">" are quoted too.
struct SplitMailText {
    std::string own;
    std::string quoted;
};
SplitMailText splitQuotedText(std::string_view text);

}  // namespace lumidex::service
