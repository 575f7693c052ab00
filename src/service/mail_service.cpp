#include "service/mail_service.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "core/settings/settings_keys.h"
#include "core/settings/settings_store.h"
#include "mail/mail_cloud_jobs.h"
#include "mail/mail_envelope.h"
#include "mail/mail_fts.h"
#include "mail/mail_fts_query.h"
#include "mail/mail_indexer.h"
#include "mail/mail_indexer_sources.h"
#include "platform/paths.h"
#include "platform/unicode.h"

namespace lumidex::service {
namespace {

constexpr size_t kContentPreviewCharacters = 500;

int64_t clampLimit(std::optional<int64_t> limit, int64_t fallback, int64_t maximum) {
    return std::clamp<int64_t>(limit.value_or(fallback), 1, maximum);
}

MailJson textOrNull(const std::optional<std::string>& text) { return text ? MailJson(*text) : MailJson(nullptr); }
MailJson dateOrNull(const std::optional<Date>& date) {
    return date ? MailJson(iso8601String(*date)) : MailJson(nullptr);
}

// Messages of local stores carry their store's type in their id; every other one is the mail client's.
std::string sourceTypeOf(std::string_view externalId) {
    if (externalId.starts_with("maildir:")) return "maildir";
    if (externalId.starts_with("mbox:")) return "mbox";
    return "apple_mail";
}

// The first `count` Unicode scalar values of `text` (ill-formed bytes count one each).
std::string prefixCharacters(std::string_view text, size_t count, size_t* total = nullptr) {
    size_t i = 0;
    size_t seen = 0;
    size_t cut = std::string_view::npos;
    while (i < text.size()) {
        if (seen == count && cut == std::string_view::npos) cut = i;
        const auto [cp, length] = platform::decodeUtf8At(text, i);
        i += length == 0 ? 1 : length;
        ++seen;
    }
    if (total != nullptr) *total = seen;
    if (cut == std::string_view::npos) return std::string(text);
    return std::string(text.substr(0, cut));
}

size_t characterLength(std::string_view text) {
    size_t total = 0;
    (void)prefixCharacters(text, 0, &total);
    return total;
}

Refusal internalRefusal(std::string message) { return {RefusalKind::internal, std::move(message)}; }

bool isQuoteLine(std::string_view line) { return line.starts_with(">"); }

std::string_view trimmed(std::string_view line) {
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.remove_suffix(1);
    return line;
}

bool isSeparatorLine(std::string_view line) {
    const std::string lower = platform::toLowerCase(trimmed(line));
    std::string_view inner = lower;
    while (inner.starts_with("-")) inner.remove_prefix(1);
    while (inner.ends_with("-")) inner.remove_suffix(1);
    inner = trimmed(inner);
    return lower.starts_with("-----") && (inner == "original message" || inner == "ursprüngliche nachricht");
}

bool isAttributionLine(std::string_view line) {
    const std::string_view t = trimmed(line);
    return (t.starts_with("On ") && t.ends_with("wrote:")) || (t.starts_with("Am ") && t.ends_with("schrieb:")) ||
           (t.starts_with("Am ") && t.find(" schrieb ") != std::string_view::npos && t.ends_with(":"));
}

}  // namespace

SplitMailText splitQuotedText(std::string_view text) {
    std::vector<std::string_view> lines;
    for (size_t start = 0; start <= text.size();) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    size_t quoteStart = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (isSeparatorLine(lines[i])) {
            quoteStart = i;
            break;
        }
        if (isAttributionLine(lines[i])) {
            size_t next = i + 1;
            while (next < lines.size() && trimmed(lines[next]).empty()) ++next;
            if (next < lines.size() && isQuoteLine(lines[next])) {
                quoteStart = i;
                break;
            }
        }
    }
    SplitMailText split;
    const auto append = [](std::string& to, std::string_view line) {
        if (!to.empty()) to += '\n';
        to += line;
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i >= quoteStart || isQuoteLine(lines[i])) append(split.quoted, lines[i]);
        else append(split.own, lines[i]);
    }
    const auto trimEnd = [](std::string& s) {
        while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
    };
    trimEnd(split.own);
    trimEnd(split.quoted);
    return split;
}

MailService::MailService(mail::MailFtsSqlite& fts, mail::MailCloudJobsSqlite& jobs, SettingsStore& settings,
                         MailServiceOptions options)
    : fts_(fts), jobs_(jobs), settings_(settings), options_(std::move(options)) {}

std::filesystem::path MailService::mailRoot() const {
    // The store the indexer reads (`lumidex mail add`, or setup below) is the one the routes look at.
    mail::MailSourceList sources;
    if (!sources.load()) {
        for (const mail::ConfiguredMailSource& source : sources.sources()) {
            if (source.type == mail::kAppleMailSourceType) return source.path;
        }
    }
    if (auto stored = settings_.getString(kMailRootKey); stored && !stored->empty()) return *stored;
    const auto home = options_.home.empty() ? platform::userDirectories().home : options_.home;
    return home / "Library" / "Mail";
}

bool MailService::requestRun(bool force, bool restart) {
    return options_.control.requestRun && options_.control.requestRun(force, restart);
}

// --- index ---------------------------------------------------------------------------------------------

MailJson MailService::status() {
    const MailIndexerFigures figures = options_.control.figures ? options_.control.figures() : MailIndexerFigures{};
    const auto counts = fts_.statusCounts();
    const auto successCount = counts.find("success");
    const std::filesystem::path envelopePath = mail::EnvelopeIndexReader::pathBelow(mailRoot());
    std::error_code ec;
    const bool envelopeExists = std::filesystem::exists(envelopePath, ec);
    std::optional<int64_t> messageCount;
    bool readable = false;
    if (envelopeExists) {
        auto opened = mail::EnvelopeIndexReader::open(envelopePath);
        if (auto* reader = std::get_if<std::unique_ptr<mail::EnvelopeIndexReader>>(&opened)) {
            auto count = (*reader)->messageCount();
            if (auto* n = std::get_if<int64_t>(&count)) {
                readable = true;
                messageCount = *n;
            }
        }
    }
    MailJson accountFilter = MailJson::array();
    for (const std::string& entry : settings_.getStringList(kMailAccountFilterKey).value_or(StringList{})) {
        accountFilter.push_back(entry);
    }

    MailJson r;
    r["enabled"] = settings_.getBool(SettingsKeys::mailSourceEnabled).value_or(false);
    r["is_indexing"] = figures.isIndexing;
    r["indexed_count"] = successCount == counts.end() ? 0 : successCount->second;
    r["indexed_count_session"] = figures.indexedCountSession;
    r["attachments_with_text_session"] = figures.attachmentsWithTextSession;
    r["last_indexed_subject"] = textOrNull(figures.lastIndexedSubject);
    r["last_seen_rowid"] = settings_.getInt(kMailLastSeenRowidKey).value_or(0);
    r["ocr_size_limit_mb"] = settings_.getInt(kMailOcrSizeLimitKey).value_or(kDefaultMailOcrSizeLimitMb);
    r["account_filter"] = std::move(accountFilter);
    r["envelope_index_path"] = envelopePath.string();
    r["envelope_index_exists"] = envelopeExists;
    r["envelope_index_readable"] = readable;
    if (messageCount) r["envelope_message_count"] = *messageCount;
    if (!fts_.databasePath().empty()) r["db_path"] = fts_.databasePath().string();
    r["db_exists"] = !fts_.databasePath().empty() && std::filesystem::exists(fts_.databasePath(), ec);
    r["processed_count"] = figures.processedCount;
    r["extract_failed_count"] = figures.extractFailedCount;
    r["filtered_count"] = figures.filteredCount;
    r["upsert_failed_count"] = figures.upsertFailedCount;
    r["coverage_envelope"] = figures.coverageEnvelope;
    r["coverage_missing"] = figures.coverageMissing;
    r["stream_end"] = textOrNull(figures.streamEnd);
    r["last_batch_index"] = figures.lastBatchIndex;
    r["last_batch_size"] = figures.lastBatchSize;
    r["last_batch_last_rowid"] = figures.lastBatchLastRowid;
    return r;
}

namespace {

MailJson recentResponse(const std::vector<mail::MailSearchHit>& hits) {
    MailJson items = MailJson::array();
    for (const auto& hit : hits) {
        MailJson item;
        item["external_id"] = hit.externalId;
        item["subject"] = textOrNull(hit.subject);
        item["sender"] = textOrNull(hit.sender);
        item["mailbox"] = textOrNull(hit.mailbox);
        item["date_sent"] = dateOrNull(hit.dateSent);
        item["date_received"] = dateOrNull(hit.dateReceived);
        item["snippet_preview"] = textOrNull(hit.snippet);
        items.push_back(std::move(item));
    }
    MailJson r;
    r["count"] = items.size();
    r["items"] = std::move(items);
    return r;
}

}  // namespace

MailJson MailService::recent(std::optional<int64_t> limit) {
    return recentResponse(fts_.recent(clampLimit(limit, 20, 200)));
}

MailJson MailService::inbox(std::optional<int64_t> limit) {
    return recentResponse(fts_.mailsInMailbox("%/INBOX", clampLimit(limit, 20, 200)));
}

std::optional<MailJson> MailService::search(std::string_view query, std::optional<int64_t> limit, bool inboxOnly,
                                            Refusal& refusal) {
    if (platform::characterCount(mail::trimMailQuery(query)) < 2) {
        refusal = {RefusalKind::badRequest, "Query 'q' must be at least 2 characters"};
        return std::nullopt;
    }
    const auto started = std::chrono::steady_clock::now();
    const auto hits = fts_.search(query, clampLimit(limit, 50, 500), inboxOnly);
    MailJson items = MailJson::array();
    for (const auto& hit : hits) {
        MailJson item;
        item["external_id"] = hit.externalId;
        item["subject"] = textOrNull(hit.subject);
        item["sender"] = textOrNull(hit.sender);
        item["mailbox"] = textOrNull(hit.mailbox);
        item["snippet"] = textOrNull(hit.snippet);
        item["date_sent"] = dateOrNull(hit.dateSent);
        item["date_received"] = dateOrNull(hit.dateReceived);
        item["source_type"] = sourceTypeOf(hit.externalId);
        items.push_back(std::move(item));
    }
    MailJson r;
    r["query"] = std::string(query);
    r["inbox_only"] = inboxOnly;
    r["count"] = items.size();
    r["items"] = std::move(items);
    r["duration_ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    return r;
}

namespace {

bool missingId(const std::optional<std::string>& externalId, Refusal& refusal) {
    if (externalId && !externalId->empty()) return false;
    refusal = {RefusalKind::badRequest, "Missing external_id"};
    return true;
}

void unknownId(const std::string& externalId, Refusal& refusal) {
    refusal = {RefusalKind::notFound, "No indexed mail with external_id '" + externalId +
                                          "'. Use search_mail or get_mail_recent to obtain a valid RFC message-id."};
}

}  // namespace

std::optional<MailJson> MailService::detail(const std::optional<std::string>& externalId, Refusal& refusal) {
    if (missingId(externalId, refusal)) return std::nullopt;
    const auto found = fts_.find(*externalId);
    if (!found) {
        unknownId(*externalId, refusal);
        return std::nullopt;
    }
    const std::string content = found->content.value_or("");
    MailJson r;
    r["external_id"] = found->externalId;
    r["subject"] = textOrNull(found->subject);
    r["sender"] = textOrNull(found->sender);
    r["mailbox"] = textOrNull(found->mailbox);
    r["content_length"] = characterLength(content);
    r["content_preview"] = prefixCharacters(content, kContentPreviewCharacters);
    return r;
}

std::optional<MailJson> MailService::body(const std::optional<std::string>& externalId, bool includeQuoted,
                                          std::optional<int64_t> maxChars, Refusal& refusal) {
    if (missingId(externalId, refusal)) return std::nullopt;
    if (maxChars && *maxChars <= 0) {
        refusal = {RefusalKind::badRequest, "max_chars must be greater than 0"};
        return std::nullopt;
    }
    const auto found = fts_.find(*externalId);
    if (!found) {
        unknownId(*externalId, refusal);
        return std::nullopt;
    }
    const std::string content = found->content.value_or("");
    const SplitMailText split = splitQuotedText(content);
    size_t ownTotal = 0;
    size_t quotedTotal = 0;
    const size_t budget = maxChars ? static_cast<size_t>(*maxChars) : SIZE_MAX;
    std::string own = prefixCharacters(split.own, budget, &ownTotal);
    std::string quoted;
    if (includeQuoted) quoted = prefixCharacters(split.quoted, budget - std::min(budget, ownTotal), &quotedTotal);
    const size_t total = ownTotal + (includeQuoted ? quotedTotal : 0);

    MailJson r;
    r["external_id"] = found->externalId;
    r["subject"] = textOrNull(found->subject);
    r["sender"] = textOrNull(found->sender);
    r["mailbox"] = textOrNull(found->mailbox);
    r["date_sent"] = dateOrNull(found->dateSent);
    r["date_received"] = dateOrNull(found->dateReceived);
    r["body_text"] = std::move(own);
    if (includeQuoted) r["quoted_text"] = std::move(quoted);
    r["include_quoted"] = includeQuoted;
    r["truncated"] = total > budget;
    r["total_chars"] = total;
    r["content_length"] = characterLength(content);
    return r;
}

// --- maintenance ---------------------------------------------------------------------------------------

namespace {

bool stored(const std::optional<SettingsError>& error, std::string_view key, Refusal& refusal) {
    if (!error) return true;
    refusal = internalRefusal("The setting " + std::string(key) + " could not be stored: " + error->message);
    return false;
}

}  // namespace

std::optional<MailJson> MailService::setup(const MailSetupRequest& request, Refusal& refusal) {
    std::filesystem::path root = request.mailRoot && !request.mailRoot->empty()
                                     ? std::filesystem::path(*request.mailRoot)
                                     : (options_.home.empty() ? platform::userDirectories().home : options_.home) /
                                           "Library" / "Mail";
    if (!root.is_absolute()) {
        refusal = {RefusalKind::badRequest, "mail_root must be an absolute path"};
        return std::nullopt;
    }
    // Every field is checked before anything is stored: a refused request changes nothing.
    if (request.ocrLimitMb && *request.ocrLimitMb < 1) {
        refusal = {RefusalKind::badRequest, "ocr_limit_mb must be at least 1"};
        return std::nullopt;
    }
    root = root.lexically_normal();
    if (!stored(settings_.setString(kMailRootKey, root.string()), kMailRootKey, refusal)) return std::nullopt;
    if (request.accountRowids) {
        StringList accounts;
        for (int64_t rowid : *request.accountRowids) accounts.push_back(std::to_string(rowid));
        if (!stored(settings_.set(kMailAccountFilterKey, accounts), kMailAccountFilterKey, refusal)) return std::nullopt;
    }
    if (request.ocrLimitMb) {
        if (!stored(settings_.setInt(kMailOcrSizeLimitKey, *request.ocrLimitMb), kMailOcrSizeLimitKey, refusal)) {
            return std::nullopt;
        }
    }
    bool cleared = false;
    if (request.clearIndex.value_or(false)) {
        if (!clearMailIndex(refusal)) return std::nullopt;
        if (!stored(settings_.setInt(kMailLastSeenRowidKey, 0), kMailLastSeenRowidKey, refusal)) return std::nullopt;
        cleared = true;
    }
    if (request.enable) {
        if (!stored(settings_.setBool(SettingsKeys::mailSourceEnabled, *request.enable), SettingsKeys::mailSourceEnabled,
                    refusal)) {
            return std::nullopt;
        }
        if (options_.control.setEnabled) options_.control.setEnabled(*request.enable);
    }
    std::error_code ec;
    const auto envelopePath = mail::EnvelopeIndexReader::pathBelow(root);
    const bool exists = std::filesystem::exists(envelopePath, ec);
    bool readable = false;
    if (exists) readable = std::holds_alternative<std::unique_ptr<mail::EnvelopeIndexReader>>(
                    mail::EnvelopeIndexReader::open(envelopePath));
    // The store becomes the indexer's mail client source (only one is indexed: it replaces another).
    if (exists) {
        mail::MailSourceList sources;
        if (const auto error = sources.load()) {
            refusal = internalRefusal("The list of mail stores cannot be read: " + *error);
            return std::nullopt;
        }
        std::vector<std::filesystem::path> replaced;
        for (const mail::ConfiguredMailSource& source : sources.sources()) {
            if (source.type == mail::kAppleMailSourceType && source.path != root) replaced.push_back(source.path);
        }
        for (const auto& path : replaced) sources.remove(path);
        if (sources.add({root, std::string(mail::kAppleMailSourceType)}) || !replaced.empty()) {
            if (const auto error = sources.save()) {
                refusal = internalRefusal("The list of mail stores could not be saved: " + *error);
                return std::nullopt;
            }
        }
    }
    MailJson r;
    r["mail_root"] = root.string();
    // Without a sandbox the stored path is the bookmark; it is active when the folder is there.
    r["bookmark_activated"] = std::filesystem::is_directory(root, ec);
    r["envelope_index_exists"] = exists;
    r["envelope_index_readable"] = readable;
    r["enabled"] = settings_.getBool(SettingsKeys::mailSourceEnabled).value_or(false);
    r["cleared_index"] = cleared;
    return r;
}

std::optional<MailJson> MailService::disable(Refusal& refusal) {
    if (!stored(settings_.setBool(SettingsKeys::mailSourceEnabled, false), SettingsKeys::mailSourceEnabled, refusal)) {
        return std::nullopt;
    }
    if (options_.control.setEnabled) options_.control.setEnabled(false);
    MailJson r;
    r["enabled"] = false;
    return r;
}

bool MailService::clearMailIndex(Refusal& refusal) {
    // The local stores' kept listings go first: kept after the rows were cleared, they would make every
    // unchanged store look indexed, and its mail would never come back.
    if (!mail::LocalMailIndexer(fts_).forgetAllListings() || !fts_.clearAll()) {
        refusal = internalRefusal("The mail index could not be cleared");
        return false;
    }
    return true;
}

std::optional<MailJson> MailService::clearIndex(Refusal& refusal) {
    if (!clearMailIndex(refusal)) return std::nullopt;
    if (!stored(settings_.setInt(kMailLastSeenRowidKey, 0), kMailLastSeenRowidKey, refusal)) return std::nullopt;
    const auto counts = fts_.statusCounts();
    const auto success = counts.find("success");
    MailJson r;
    r["cleared"] = true;
    r["indexed_count"] = success == counts.end() ? 0 : success->second;
    return r;
}

std::optional<MailJson> MailService::reindex(bool restart, Refusal& refusal) {
    if (restart && !stored(settings_.setInt(kMailLastSeenRowidKey, 0), kMailLastSeenRowidKey, refusal)) {
        return std::nullopt;
    }
    if (!stored(settings_.setBool(kMailForceRunOnceKey, true), kMailForceRunOnceKey, refusal)) return std::nullopt;
    MailJson r;
    // The run resets the cursor again as it starts: one under way now would write its own at its end.
    r["triggered"] = requestRun(true, restart);
    r["restart"] = restart;
    return r;
}

MailJson MailService::indexStatus() {
    const auto counts = fts_.statusCounts();
    const auto count = [&](const std::map<std::string, int64_t>& map, const char* key) {
        const auto found = map.find(key);
        return found == map.end() ? int64_t{0} : found->second;
    };
    const auto jobCounts = jobs_.statusCounts();
    MailJson r;
    r["total"] = count(counts, "success") + count(counts, "empty") + count(counts, "failed") + count(counts, "pending");
    r["success"] = count(counts, "success");
    r["empty"] = count(counts, "empty");
    r["failed"] = count(counts, "failed");
    r["pending"] = count(counts, "pending");
    // Waiting is everything not yet merged that may still be: queued, at the service or fetched.
    r["office_attachments_pending"] = count(jobCounts, "pending") + count(jobCounts, "uploading") +
                                      count(jobCounts, "polling") + count(jobCounts, "downloaded");
    r["office_attachments_indexed"] = count(jobCounts, "merged");
    r["cloud_service_ready"] = options_.control.cloudReady && options_.control.cloudReady();
    return r;
}

std::optional<MailJson> MailService::incomplete(const std::optional<std::string>& status, std::optional<int64_t> limit,
                                                Refusal& refusal) {
    std::optional<mail::MailIndexStatus> wanted;
    if (status && !status->empty()) {
        wanted = mail::mailIndexStatusFromText(*status);
        if (!wanted) {
            refusal = {RefusalKind::badRequest, "Unknown status '" + *status + "' (pending, success, empty or failed)"};
            return std::nullopt;
        }
    }
    MailJson items = MailJson::array();
    for (const auto& record : fts_.incompleteRecords(wanted, clampLimit(limit, 50, 500))) {
        MailJson item;
        item["external_id"] = record.externalId;
        item["index_status"] = std::string(mail::toText(record.indexStatus));
        item["attempt_count"] = record.attemptCount;
        item["last_attempted_at"] = record.lastAttemptedAt;
        item["error_reason"] = textOrNull(record.errorReason);
        item["envelope_rowid"] = record.envelopeRowid ? MailJson(*record.envelopeRowid) : MailJson(nullptr);
        items.push_back(std::move(item));
    }
    MailJson r;
    r["count"] = items.size();
    r["items"] = std::move(items);
    return r;
}

std::optional<MailJson> MailService::retryIncomplete(Refusal& refusal) {
    const auto reset = fts_.resetIncomplete();
    if (!reset) {
        refusal = internalRefusal("The incomplete mails could not be reset");
        return std::nullopt;
    }
    if (!stored(settings_.setBool(kMailForceRunOnceKey, true), kMailForceRunOnceKey, refusal)) return std::nullopt;
    MailJson r;
    r["reset"] = *reset;
    r["triggered"] = requestRun(true);
    return r;
}

std::optional<MailJson> MailService::cleanupStale(Refusal& refusal) {
    const auto removed = fts_.cleanupStaleMeta();
    if (!removed) {
        refusal = internalRefusal("The stale mail records could not be removed");
        return std::nullopt;
    }
    MailJson r;
    r["removed"] = *removed;
    return r;
}

// --- cloud jobs ----------------------------------------------------------------------------------------

std::optional<MailJson> MailService::cloudJobs(const std::optional<std::string>& status, std::optional<int64_t> limit,
                                               Refusal& refusal) {
    std::optional<mail::MailCloudJobStatus> wanted;
    if (status && !status->empty()) {
        wanted = mail::mailCloudJobStatusFromText(*status);
        if (!wanted) {
            refusal = {RefusalKind::badRequest, "Unknown status '" + *status + "'"};
            return std::nullopt;
        }
    }
    MailJson items = MailJson::array();
    for (const auto& job : jobs_.allJobs(wanted, clampLimit(limit, 100, 500))) {
        MailJson item;
        item["job_local_id"] = job.jobLocalId;
        item["external_id"] = job.externalId;
        item["attachment_name"] = textOrNull(job.attachmentName);
        item["attachment_size"] = job.attachmentSize;
        item["status"] = std::string(mail::toText(job.status));
        item["attempt_count"] = job.attemptCount;
        item["kadoro_job_id"] = textOrNull(job.kadoroJobId);
        item["created_at"] = job.createdAt;
        item["updated_at"] = job.updatedAt;
        item["error_reason"] = textOrNull(job.errorReason);
        items.push_back(std::move(item));
    }
    const auto counts = jobs_.statusCounts();
    const auto count = [&](const char* key) {
        const auto found = counts.find(key);
        return found == counts.end() ? int64_t{0} : found->second;
    };
    MailJson jobCounts;
    for (const char* key : {"pending", "uploading", "polling", "downloaded", "merged", "failed"}) jobCounts[key] = count(key);
    jobCounts["not_supported"] = count("notSupported");
    MailJson r;
    r["count"] = items.size();
    r["items"] = std::move(items);
    r["counts"] = std::move(jobCounts);
    r["cloud_ready"] = options_.control.cloudReady && options_.control.cloudReady();
    return r;
}

namespace {

std::optional<MailJson> actionResponse(const char* action, std::optional<int64_t> affected, Refusal& refusal) {
    if (!affected) {
        refusal = internalRefusal(std::string("The cloud jobs could not be changed (") + action + ")");
        return std::nullopt;
    }
    MailJson r;
    r["action"] = action;
    r["affected"] = *affected;
    return r;
}

}  // namespace

std::optional<MailJson> MailService::cloudRetry(Refusal& refusal) {
    return actionResponse("retry", jobs_.resetFailed(), refusal);
}

std::optional<MailJson> MailService::cloudCancel(Refusal& refusal) {
    return actionResponse("cancel", jobs_.cancelPending(), refusal);
}

std::optional<MailJson> MailService::cloudTick(Refusal& refusal) {
    // Without a worker there is nothing to step, and nothing went wrong.
    const auto taken = options_.control.cloudTick ? options_.control.cloudTick() : std::optional<int64_t>(0);
    return actionResponse("tick", taken, refusal);
}

}  // namespace lumidex::service
